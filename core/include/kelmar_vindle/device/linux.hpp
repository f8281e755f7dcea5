// The machine's own disk list on Linux, read from sysfs and the mount table,
// and the readers of the kernel's views that the Linux raw backend shares.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::device::linux {

// Where the kernel's views are; tests point them at a fake tree.
struct SystemPaths {
  std::filesystem::path sysfs = "/sys";  // holds block/ and devices/
  std::filesystem::path mount_table = "/proc/self/mountinfo";
  std::filesystem::path swaps = "/proc/swaps";
};

// One line of the mount table.
struct Mount {
  std::string device_number;  // "major:minor" of the mounted device
  std::string mount_point;    // octal escapes decoded
  std::string source;         // as written, such as "/dev/sdb1"
};

// Lists the whole disks attached now, read-only, sorted by kernel name. Each
// is filled like a macOS disk: USB serial, idVendor and idProduct from the
// nearest USB ancestor device; vendor and model from the SCSI attributes with
// only the kernel's line feed removed; the size from the block size; the bus
// from where the disk sits (USB, NVMe, ATA, other); `is_system` when the disk
// is neither USB nor removable, or holds the root file system; and its kernel
// name as `linux_dev_name`. Virtual disks (loop, RAM, device-mapper, RAID),
// optical drives and disks of size 0 are left out. An unreadable block
// directory or mount table fails the call (`Io`): without the mount table
// the disk holding the root file system could not be told apart.
[[nodiscard]] Result<std::vector<DeviceCandidate>> list_read_only(const SystemPaths& paths = {});

// The mount table, in mount order.
[[nodiscard]] Result<std::vector<Mount>> read_mount_table(const std::filesystem::path& mount_table);

// A sysfs attribute with the kernel's one trailing line feed removed, or none
// when it cannot be read.
std::optional<std::string> read_attribute(const std::filesystem::path& file);

// The kernel name behind a device path such as "/dev/sdb1" or a
// "/dev/mapper" link; for a path that does not exist here, its last part.
std::string kernel_name_of(const std::string& device_path);

// The kernel's tables escape space, tab, line feed and backslash as \ooo.
std::string unescape_octal(std::string_view text);

// The `Io` error of a kernel view that could not be read:
// "read {path}: {why}".
Error read_failure(const std::filesystem::path& path, std::string_view why);

}  // namespace kelmar_vindle::device::linux
