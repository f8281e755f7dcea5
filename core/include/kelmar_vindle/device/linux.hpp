// The machine's own disk list on Linux, read from sysfs and the mount table,
// and the pieces of it that the raw backend needs to unmount a disk.
#pragma once

#include <filesystem>
#include <string>
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

// A whole disk and its partitions: kernel name and "major:minor" of each.
struct BlockNode {
  std::string name;
  std::string device_number;
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
Result<std::vector<DeviceCandidate>> list_read_only(const SystemPaths& paths = {});

// The mount table, in mount order.
Result<std::vector<Mount>> read_mount_table(const std::filesystem::path& mount_table);

// The disk `name` (as it appears under {sysfs}/block) first, then its
// partitions. Fails when the disk is not there.
Result<std::vector<BlockNode>> disk_nodes(const SystemPaths& paths, const std::string& name);

// The mounts in `mounts` whose device is one of `nodes` (by device number,
// or by the kernel name of their source), in table order.
std::vector<Mount> mounts_on(const std::vector<Mount>& mounts, const std::vector<BlockNode>& nodes);

// The kernel names of the block devices in use as swap, read from `swaps`.
Result<std::vector<std::string>> active_swap_names(const std::filesystem::path& swaps);

}  // namespace kelmar_vindle::device::linux
