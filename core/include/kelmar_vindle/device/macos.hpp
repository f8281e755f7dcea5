// The machine's own disk list.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// Lists the whole disks attached now, read-only. Where the platform has no
// disk list of its own this fails with `PlatformEnumerationUnavailable`.
Result<std::vector<DeviceCandidate>> list_read_only();

}  // namespace kelmar_vindle
