// The macOS disk list from the IOKit registry and DiskArbitration. Built on
// macOS against the frameworks and, for tests, elsewhere against platform_sim.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::device::macos {

// Lists the physical whole disks attached now, read-only, in registry
// order: each with its USB serial and ids from the USB device it belongs to
// (the nearest IOUSBHostDevice or IOUSBDevice above it, never a hub or dock
// further up; none without one), vendor, model, protocol, internal flag and
// size from DiskArbitration. A disk is a system disk when it is internal or
// a system volume ("/" or one under "/System/Volumes/") is mounted from it,
// its partitions or the APFS containers on them. Disks that sit on other
// media (those an APFS container synthesizes), disks without a usable BSD
// name and disks with size 0 are left out; only a failed registry query or
// session fails the call (`Io`).
[[nodiscard]] Result<std::vector<DeviceCandidate>> list_read_only();

}  // namespace kelmar_vindle::device::macos
