// On macOS the machine's disk list is the IOKit/DiskArbitration one.
#include "kelmar_vindle/device/macos.hpp"
#include "kelmar_vindle/device/platform.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() { return device::macos::list_read_only(); }

}  // namespace kelmar_vindle
