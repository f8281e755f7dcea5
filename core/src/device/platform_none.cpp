// A host whose disks this helper cannot list.
#include "kelmar_vindle/device/platform.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() {
  return std::unexpected(Error::make<ErrorKind::PlatformEnumerationUnavailable>());
}

}  // namespace kelmar_vindle
