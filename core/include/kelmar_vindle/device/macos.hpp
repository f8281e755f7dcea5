// The machine's own disk list. On macOS it comes from the IOKit registry and
// DiskArbitration; elsewhere the platform list reports that it is unavailable.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// What `PlatformEnumerator::list` returns on this host.
Result<std::vector<DeviceCandidate>> platform_disk_list();

namespace device::macos {

// Lists the whole disks attached now, read-only, in registry order: each with
// its USB serial and ids from the registry (the media object or its nearest
// ancestor), vendor, model, protocol, internal flag, size and volume path from
// DiskArbitration. Disks without a usable BSD name or with size 0 are left
// out; only a failed registry query or session fails the call (`Io`).
Result<std::vector<DeviceCandidate>> list_read_only();

}  // namespace device::macos
}  // namespace kelmar_vindle
