// What the Linux raw backend reads before it unmounts a disk: the disk's own
// nodes, the mounts on them, and the swap areas in use.
#pragma once

#include <string>
#include <vector>

#include "kelmar_vindle/device/linux.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper::linux_mounts {

using device::linux::Mount;
using device::linux::SystemPaths;

// A whole disk or one of its partitions: kernel name and "major:minor".
struct BlockNode {
  std::string name;
  std::string device_number;
};

// The disk `name` (as it appears under {sysfs}/block) first, then its
// partitions. Fails when the disk is not there.
[[nodiscard]] Result<std::vector<BlockNode>> disk_nodes(const SystemPaths& paths, const std::string& name);

// The mounts in `mounts` whose device is one of `nodes` (by device number,
// or by the kernel name of their source), in table order.
std::vector<Mount> mounts_on(const std::vector<Mount>& mounts, const std::vector<BlockNode>& nodes);

// The kernel names of the block devices in use as swap, read from `swaps`.
[[nodiscard]] Result<std::vector<std::string>> active_swap_names(const std::filesystem::path& swaps);

}  // namespace kelmar_vindle::helper::linux_mounts
