// On Linux the platform's disk list comes from sysfs.
#include "kelmar_vindle/device/linux.hpp"
#include "kelmar_vindle/device/macos.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() { return device::linux::list_read_only(); }

}  // namespace kelmar_vindle
