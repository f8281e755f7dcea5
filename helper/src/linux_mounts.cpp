#include "linux_mounts.hpp"

#include <algorithm>
#include <sstream>
#include <system_error>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::helper::linux_mounts {
namespace fs = std::filesystem;
using device::linux::kernel_name_of;
using device::linux::read_attribute;
using device::linux::read_failure;
using device::linux::unescape_octal;

Result<std::vector<BlockNode>> disk_nodes(const SystemPaths& paths, const std::string& name) {
  const fs::path entry = paths.sysfs / "block" / name;
  const auto number = read_attribute(entry / "dev");
  if (!number) return std::unexpected(read_failure(entry / "dev", "No such file or directory (os error 2)"));
  std::vector<BlockNode> nodes{{name, *number}};
  std::error_code error;
  std::vector<BlockNode> partitions;
  for (const auto& child : fs::directory_iterator(entry, error)) {
    if (!fs::exists(child.path() / "partition", error)) continue;
    if (auto child_number = read_attribute(child.path() / "dev")) {
      partitions.push_back({child.path().filename().string(), std::move(*child_number)});
    }
  }
  std::sort(partitions.begin(), partitions.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  nodes.insert(nodes.end(), partitions.begin(), partitions.end());
  return nodes;
}

std::vector<Mount> mounts_on(const std::vector<Mount>& mounts, const std::vector<BlockNode>& nodes) {
  std::vector<Mount> on;
  for (const auto& mount : mounts) {
    const bool from_node = std::any_of(nodes.begin(), nodes.end(), [&](const BlockNode& node) {
      return mount.device_number == node.device_number ||
             (mount.source.starts_with("/dev/") && kernel_name_of(mount.source) == node.name);
    });
    if (from_node) on.push_back(mount);
  }
  return on;
}

Result<std::vector<std::string>> active_swap_names(const fs::path& swaps) {
  auto text = read_regular_file(swaps);
  if (!text) return std::unexpected(read_failure(swaps, text.error().detail()));
  std::vector<std::string> names;
  std::istringstream lines(*text);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string file, type;
    if (fields >> file >> type && type == "partition") names.push_back(kernel_name_of(unescape_octal(file)));
  }
  return names;
}

}  // namespace kelmar_vindle::helper::linux_mounts
