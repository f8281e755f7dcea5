// `kelmar-vindle list`: the attached disks, and whether the helper would
// write each.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "invoking_user.hpp"
#include "kelmar_vindle/device.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct ListOptions {
  bool json = false;                             // the `--list-disks` array instead of the table
  std::optional<std::filesystem::path> fixture;  // a mock list instead of the machine's disks
};

// One row per disk under a header: name, size, bus, vendor, product, serial
// and "yes" or "no: {reason}"; a line saying so when there is none.
std::string disk_table(std::span<const DeviceCandidate> disks);

// Prints the table, or the compact JSON array, on standard output; reads
// the fixture with `user`'s rights.
[[nodiscard]] TextResult<> run_list(const ListOptions& options, const InvokingUser& user);

}  // namespace kelmar_vindle::frontend
