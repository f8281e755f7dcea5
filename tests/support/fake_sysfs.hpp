// A small fake of the kernel's sysfs tree, mount table and swap list, built in
// a temporary directory, for the Linux disk list and the Linux raw backend.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "kelmar_vindle/device/linux.hpp"

namespace kelmar_vindle::testing {

using Attributes = std::initializer_list<std::pair<std::string_view, std::string_view>>;

class FakeSysfs {
 public:
  // Builds under `root`, which must exist; starts with no disks, an empty
  // mount table and no swap.
  explicit FakeSysfs(std::filesystem::path root);

  device::linux::SystemPaths paths() const;

  // A device directory sys/devices/{path} with its attributes, each written
  // with the kernel's trailing line feed.
  std::filesystem::path device(std::string_view path, Attributes attributes = {}) const;
  // A whole disk at sys/devices/{parent}/block/{name}, linked from
  // sys/block/{name}, with `device` linking to {parent} as the kernel does.
  std::filesystem::path disk(std::string_view parent, std::string_view name, std::string_view dev,
                             std::uint64_t sectors, bool removable, Attributes scsi = {}) const;
  // A partition of `disk`.
  void partition(std::string_view disk, std::string_view name, std::string_view dev) const;
  // Lines of the mount table ("major:minor mount-point source" each, in order)
  // and of the swap list (device paths).
  void mounts(std::initializer_list<std::string_view> lines) const;
  void swaps(std::initializer_list<std::string_view> devices) const;

 private:
  std::filesystem::path root_;
};

}  // namespace kelmar_vindle::testing
