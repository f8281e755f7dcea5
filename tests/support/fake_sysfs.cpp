#include "fake_sysfs.hpp"

#include "temp_dir.hpp"

namespace kelmar_vindle::testing {
namespace fs = std::filesystem;

FakeSysfs::FakeSysfs(fs::path root) : root_(std::move(root)) {
  fs::create_directories(root_ / "sys" / "block");
  fs::create_directories(root_ / "sys" / "devices");
  mounts({});
  swaps({});
}

device::linux::SystemPaths FakeSysfs::paths() const { return {root_ / "sys", root_ / "mountinfo", root_ / "swaps"}; }

fs::path FakeSysfs::device(std::string_view path, Attributes attributes) const {
  const fs::path dir = root_ / "sys" / "devices" / path;
  fs::create_directories(dir);
  for (const auto& [name, value] : attributes) write_file(dir / name, std::string(value) + "\n");
  return dir;
}

fs::path FakeSysfs::disk(std::string_view parent, std::string_view name, std::string_view dev, std::uint64_t sectors,
                         bool removable, Attributes scsi) const {
  const fs::path parent_dir = device(parent, scsi);
  const fs::path dir = parent_dir / "block" / name;
  fs::create_directories(dir);
  write_file(dir / "dev", std::string(dev) + "\n");
  write_file(dir / "size", std::to_string(sectors) + "\n");
  write_file(dir / "removable", removable ? "1\n" : "0\n");
  fs::create_directory_symlink(parent_dir, dir / "device");
  fs::create_directory_symlink(dir, root_ / "sys" / "block" / name);
  return dir;
}

void FakeSysfs::partition(std::string_view disk, std::string_view name, std::string_view dev) const {
  const fs::path dir = fs::canonical(root_ / "sys" / "block" / disk) / name;
  fs::create_directories(dir);
  write_file(dir / "partition", "1\n");
  write_file(dir / "dev", std::string(dev) + "\n");
}

void FakeSysfs::mounts(std::initializer_list<std::string_view> lines) const {
  std::string text;
  int id = 20;
  for (const auto line : lines) {
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    // The kernel writes a space in a mount point as \040.
    std::string mount_point;
    for (const char c : line.substr(first + 1, last - first - 1)) mount_point += c == ' ' ? "\\040" : std::string(1, c);
    text += std::to_string(id++) + " 1 " + std::string(line.substr(0, first)) + " / " + mount_point +
            " rw,relatime shared:1 - ext4 " + std::string(line.substr(last + 1)) + " rw\n";
  }
  write_file(root_ / "mountinfo", text);
}

void FakeSysfs::swaps(std::initializer_list<std::string_view> devices) const {
  std::string text = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";
  for (const auto device : devices)
    text += std::string(device) + "                               partition\t1048572\t\t0\t\t-2\n";
  write_file(root_ / "swaps", text);
}

}  // namespace kelmar_vindle::testing
