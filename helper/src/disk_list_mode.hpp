// --list-disks: what an application shows its user to choose from.
#pragma once

#include "kelmar_vindle/device/snapshot.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Prints the source's live list (the platform's disks, or the --fixture
// list) on standard output as one compact JSON array of candidate records,
// the form the mock list reader takes, and a line feed. Its identities are
// the very ones a request's target is compared with. Reads no request and
// needs no privilege where the platform lets any user list its disks.
[[nodiscard]] TextResult<> print_disk_list(const DeviceSnapshot& source);

}  // namespace kelmar_vindle::helper
