#include "kelmar_vindle/device/lookup.hpp"

namespace kelmar_vindle {
namespace {

bool is_named(const DeviceCandidate& disk, std::string_view name) {
  return disk.identity.linux_dev_name == name || disk.identity.mac_bsd_name == name || disk.id == name;
}

}  // namespace

std::string disk_name(const DeviceCandidate& disk) {
  if (disk.identity.linux_dev_name) return *disk.identity.linux_dev_name;
  if (disk.identity.mac_bsd_name) return *disk.identity.mac_bsd_name;
  return disk.id;
}

std::expected<DeviceCandidate, std::string> find_disk(std::span<const DeviceCandidate> list, std::string_view name) {
  const DeviceCandidate* found = nullptr;
  std::size_t count = 0;
  for (const DeviceCandidate& disk : list) {
    if (!is_named(disk, name)) continue;
    if (found == nullptr) found = &disk;
    ++count;
  }
  // Built by appending: GCC 12 at -O3 misreads `"\"" + std::string(name)` as
  // an overlapping copy (-Wrestrict).
  std::string quoted = "\"";
  quoted.append(name).append("\"");
  if (found == nullptr) return std::unexpected("no attached disk is named " + quoted);
  if (count > 1) {
    return std::unexpected(quoted + " names " + std::to_string(count) + " attached disks; name one by its id");
  }
  return *found;
}

}  // namespace kelmar_vindle
