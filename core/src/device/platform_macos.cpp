// On macOS the platform's disk list is the IOKit/DiskArbitration one.
#include "kelmar_vindle/device/macos.hpp"

namespace kelmar_vindle {

Result<std::vector<DeviceCandidate>> platform_disk_list() { return device::macos::list_read_only(); }

}  // namespace kelmar_vindle
