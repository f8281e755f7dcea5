// On Linux the machine's disk list comes from sysfs and the mount table.
#include "kelmar_vindle/device/linux.hpp"
#include "kelmar_vindle/device/platform.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() { return device::linux::list_read_only(); }

}  // namespace kelmar_vindle
