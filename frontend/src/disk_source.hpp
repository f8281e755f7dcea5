// Where the front end's disk list comes from.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/device.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// The disks attached now: the machine's own list, or the mock list in the
// file `fixture` (the form `--list-disks` prints), read with `reader`'s
// rights. Needs no privilege where the platform lets any user list its disks.
[[nodiscard]] TextResult<std::vector<DeviceCandidate>> attached_disks(
    const std::optional<std::filesystem::path>& fixture, const Client& reader);

}  // namespace kelmar_vindle::frontend
