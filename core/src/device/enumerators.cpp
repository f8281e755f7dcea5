#include "kelmar_vindle/device/enumerators.hpp"

#include "kelmar_vindle/device/platform.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> PlatformEnumerator::list() const { return platform_disk_list(); }

}  // namespace kelmar_vindle
