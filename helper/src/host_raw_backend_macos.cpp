// On macOS, real writes follow the BSD naming and the disk utility.
#include "macos_raw.hpp"

namespace kelmar_vindle::helper {

std::unique_ptr<RawDiskBackend> make_host_raw_backend(RawBackendSettings settings, const DeviceSnapshot& live_disks) {
  return std::make_unique<MacosRawBackend>(std::move(settings), live_disks);
}

}  // namespace kelmar_vindle::helper
