// `kelmar-vindle list`: the attached disks, and whether the helper would
// write each.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

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

// Prints the table, or the compact JSON array, on standard output.
[[nodiscard]] TextResult<> run_list(const ListOptions& options);

}  // namespace kelmar_vindle::frontend
