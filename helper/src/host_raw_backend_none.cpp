// A host without a raw backend of its own follows the macOS naming, as every
// host does for targets named by BSD name; without the disk utility its
// writes fail at the unmount, before any device is opened.
#include "macos_raw.hpp"

namespace kelmar_vindle::helper {

std::unique_ptr<RawDiskBackend> make_host_raw_backend(RawBackendSettings settings, const DeviceSnapshot& live_disks) {
  return std::make_unique<MacosRawBackend>(std::move(settings), live_disks);
}

}  // namespace kelmar_vindle::helper
