// Naming an attached disk the way a person does: by its kernel or BSD name,
// or by its id.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "kelmar_vindle/device.hpp"

namespace kelmar_vindle {

// The name a person knows the disk by: the identity's `linux_dev_name`
// ("sdb"), else its `mac_bsd_name` ("disk4"), else the candidate's id.
std::string disk_name(const DeviceCandidate& disk);

// The one candidate whose identity's `linux_dev_name` or `mac_bsd_name`
// equals `name`, or whose `id` does (exact, case-sensitive). No such disk,
// or several, fails with a text that says which. Returns a copy.
[[nodiscard]] std::expected<DeviceCandidate, std::string> find_disk(std::span<const DeviceCandidate> list,
                                                                    std::string_view name);

}  // namespace kelmar_vindle
