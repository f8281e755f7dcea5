#include "kelmar_vindle/device/linux.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::device::linux {
namespace fs = std::filesystem;
namespace {

// Kernel names of block devices that are never disks one could plug in.
constexpr std::array<std::string_view, 9> kVirtualPrefixes{"loop", "ram", "zram", "dm-",  "md",
                                                           "nbd",  "sr",  "fd",   "nullb"};

std::optional<std::uint64_t> decimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::uint16_t> hex_u16(std::string_view text) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return static_cast<std::uint16_t>(value & 0xFFFF);
}

bool is_virtual(const std::string& name, const fs::path& device) {
  const bool named_virtual = std::any_of(kVirtualPrefixes.begin(), kVirtualPrefixes.end(),
                                         [&](std::string_view prefix) { return name.starts_with(prefix); });
  return named_virtual || device.string().find("/devices/virtual/") != std::string::npos;
}

// The nearest ancestor of `device` (itself included) that is a USB device,
// that is, has an idVendor attribute; stops at the sysfs root.
std::optional<fs::path> usb_ancestor(const fs::path& device, const fs::path& sysfs) {
  for (fs::path dir = device; !dir.empty() && dir != sysfs && dir != dir.root_path(); dir = dir.parent_path()) {
    std::error_code error;
    if (fs::exists(dir / "idVendor", error)) return dir;
  }
  return std::nullopt;
}

// The transport a disk hangs off, named as macOS names protocols.
std::string protocol_of(const fs::path& device, bool on_usb) {
  if (on_usb) return "USB";
  for (const auto& part : device) {
    const std::string segment = part.string();
    if (segment == "nvme") return "NVMe";
    if (segment.size() > 3 && segment.starts_with("ata") &&
        std::all_of(segment.begin() + 3, segment.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return "SATA";
    }
  }
  return "";
}

// Kernel names of the devices under the root file system, with the devices
// underneath device-mapper and RAID volumes followed down to partitions.
std::set<std::string> root_device_names(const std::vector<Mount>& mounts, const fs::path& block_dir) {
  std::set<std::string> names;
  std::vector<std::string> pending;
  std::set<std::string> root_numbers;
  for (const auto& mount : mounts) {
    if (mount.mount_point != "/") continue;
    root_numbers.insert(mount.device_number);
    if (mount.source.starts_with("/dev/")) pending.push_back(kernel_name_of(mount.source));
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(block_dir, error)) {
    const std::string name = entry.path().filename().string();
    if (const auto number = read_attribute(entry.path() / "dev"); number && root_numbers.contains(*number)) {
      pending.push_back(name);
    }
    for (const auto& child : fs::directory_iterator(entry.path(), error)) {
      if (!fs::exists(child.path() / "partition", error)) continue;
      if (const auto number = read_attribute(child.path() / "dev"); number && root_numbers.contains(*number)) {
        pending.push_back(child.path().filename().string());
      }
    }
  }
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (!names.insert(name).second) continue;
    for (const auto& slave : fs::directory_iterator(block_dir / name / "slaves", error)) {
      pending.push_back(slave.path().filename().string());
    }
  }
  return names;
}

std::optional<DeviceCandidate> read_disk(const SystemPaths& paths, const std::string& name,
                                         const std::set<std::string>& root_names) {
  const fs::path entry = paths.sysfs / "block" / name;
  std::error_code error;
  const fs::path device = fs::canonical(entry, error);
  if (error || is_virtual(name, device)) return std::nullopt;
  if (read_attribute(entry / "device" / "type") == "5") return std::nullopt;  // SCSI optical drive

  const auto sectors = read_attribute(entry / "size");
  const auto count = sectors ? decimal(*sectors) : std::nullopt;
  // The size attribute counts 512-byte sectors whatever the disk's own block size.
  if (!count || *count == 0 || *count > UINT64_MAX / 512) return std::nullopt;

  DeviceIdentity identity;
  identity.scheme = "vindle-1";
  identity.size = *count * 512;
  const auto usb = usb_ancestor(device, fs::canonical(paths.sysfs, error));
  if (usb) {
    identity.serial = read_attribute(*usb / "serial").value_or("");
    if (const auto id = read_attribute(*usb / "idVendor")) identity.vendor_id = hex_u16(*id);
    if (const auto id = read_attribute(*usb / "idProduct")) identity.product_id = hex_u16(*id);
  }
  identity.vendor = read_attribute(entry / "device" / "vendor").value_or("");
  identity.product = read_attribute(entry / "device" / "model").value_or("");
  identity.bus = protocol_to_bus(protocol_of(device, usb.has_value()));

  const bool removable = read_attribute(entry / "removable") == "1";
  bool holds_root = root_names.contains(name);
  for (const auto& child : fs::directory_iterator(entry, error)) {
    if (fs::exists(child.path() / "partition", error) && root_names.contains(child.path().filename().string())) {
      holds_root = true;
    }
  }
  identity.is_system = (identity.bus != Bus::Usb && !removable) || holds_root;
  identity.linux_dev_name = name;

  return candidate_from_identity(std::move(identity));
}

}  // namespace

std::optional<std::string> read_attribute(const fs::path& file) {
  auto text = read_regular_file(file);
  if (!text) return std::nullopt;
  if (text->ends_with('\n')) text->pop_back();
  return std::move(*text);
}

std::string kernel_name_of(const std::string& device_path) {
  std::error_code error;
  const fs::path resolved = fs::canonical(device_path, error);
  return (error ? fs::path(device_path) : resolved).filename().string();
}

std::string unescape_octal(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string_view digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) | (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

Error read_failure(const fs::path& path, std::string_view why) {
  return Error::io("read " + path.string() + ": " + std::string(why));
}

Result<std::vector<Mount>> read_mount_table(const fs::path& mount_table) {
  auto text = read_regular_file(mount_table);
  if (!text) return std::unexpected(read_failure(mount_table, text.error().detail()));
  std::vector<Mount> mounts;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    // id parent major:minor root mount-point options [optional fields] - type source super-options
    std::istringstream fields(line);
    std::string id, parent, number, root, mount_point;
    if (!(fields >> id >> parent >> number >> root >> mount_point)) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    fields >> type >> source;
    mounts.push_back({number, unescape_octal(mount_point), unescape_octal(source)});
  }
  return mounts;
}

Result<std::vector<DeviceCandidate>> list_read_only(const SystemPaths& paths) {
  const fs::path block_dir = paths.sysfs / "block";
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(block_dir, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  if (error) return std::unexpected(read_failure(block_dir, os_error_text(error.value())));
  const auto mounts = read_mount_table(paths.mount_table);
  if (!mounts) return std::unexpected(mounts.error());

  std::sort(names.begin(), names.end());
  const auto root_names = root_device_names(*mounts, block_dir);
  std::vector<DeviceCandidate> disks;
  for (const auto& name : names) {
    if (auto disk = read_disk(paths, name, root_names)) disks.push_back(std::move(*disk));
  }
  return disks;
}

}  // namespace kelmar_vindle::device::linux
