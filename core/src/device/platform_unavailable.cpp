// The disk list of a platform this helper cannot enumerate.
#include "kelmar_vindle/device/macos.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() {
  return std::unexpected(Error::make<ErrorKind::PlatformEnumerationUnavailable>());
}

}  // namespace kelmar_vindle
