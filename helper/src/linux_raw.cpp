#include "linux_raw.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/page_buffer.hpp"

namespace kelmar_vindle::helper {
namespace {

namespace linux_disks = device::linux;

// Enough passes for any sane stack of mounts on one stick; a table that keeps
// showing mounts after that is reported instead of looping.
constexpr int kMaxUnmounts = 64;

Error last_os_error() { return Error::io(os_error_text(errno)); }

// The unit direct I/O must be aligned to: the logical block size of a block
// device, else a page (enough for files standing in for one).
std::size_t direct_io_unit(int fd) {
  struct stat info {};
  int logical = 0;
  if (::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) && ::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) {
    return static_cast<std::size_t>(logical);
  }
  return 4096;
}

// Hashes exactly `count` bytes from offset 0 of a node opened with O_DIRECT,
// reading 1 MiB at a time into page-aligned memory; the last read is rounded
// up to the I/O unit and only the bytes wanted are hashed.
Result<std::string> hash_direct(int fd, std::uint64_t count) {
  auto page_buffer = PageBuffer::allocate(write::kChunkSize);
  if (!page_buffer) return std::unexpected(std::move(page_buffer.error()));
  const std::span<std::byte> buffer = page_buffer->room();
  const std::size_t unit = std::min(direct_io_unit(fd), buffer.size());
  checksum::Sha256 digest;
  std::uint64_t done = 0;
  while (done < count) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, buffer.size()));
    const std::size_t request = (want + unit - 1) / unit * unit;
    const ssize_t got = ::pread(fd, buffer.data(), request, static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    const auto use = std::min(static_cast<std::size_t>(got), want);
    digest.update(buffer.first(use));
    done += use;
    // A read that ends short of an I/O unit is the end of the device.
    if (got == 0 || (use < want && static_cast<std::size_t>(got) % unit != 0)) break;
  }
  if (done < count) return std::unexpected(Error::make<ErrorKind::SizeMismatch>(count, done));
  return digest.finalize();
}

}  // namespace

Result<std::string> LinuxRawBackend::sd_path(std::string_view name) const {
  constexpr std::string_view kPrefix = "sd";
  const bool whole_sd_disk =
      name.starts_with(kPrefix) && name.size() > kPrefix.size() &&
      std::all_of(name.begin() + kPrefix.size(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (!whole_sd_disk) return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  return paths().device_directory + "/" + std::string(name);
}

Result<RawDisk> LinuxRawBackend::locate(const DeviceIdentity& target) const {
  if (!target.linux_dev_name) return locate_by_bsd_name(target);
  auto path = sd_path(*target.linux_dev_name);
  if (!path) return std::unexpected(std::move(path.error()));
  return RawDisk{RawDisk::Naming::Linux, *target.linux_dev_name, std::move(*path)};
}

Result<void> LinuxRawBackend::unmount(const RawDisk& disk) const {
  if (disk.naming != RawDisk::Naming::Linux) return unmount_with_disk_utility(disk);
  const auto& system = paths().linux_system;
  const auto nodes = linux_disks::disk_nodes(system, disk.name);
  if (!nodes) return std::unexpected(nodes.error());
  const auto swaps = linux_disks::active_swap_names(system.swaps);
  if (!swaps) return std::unexpected(swaps.error());
  for (const auto& node : *nodes) {
    if (std::find(swaps->begin(), swaps->end(), node.name) != swaps->end()) {
      return std::unexpected(
          Error::io("unmount " + paths().device_directory + "/" + node.name + ": it is an active swap area"));
    }
  }
  // One mount at a time, the latest first (it may sit on top of another), and
  // the table read again after each: unmounting one may take its peers along.
  for (int pass = 0; pass < kMaxUnmounts; ++pass) {
    const auto mounts = linux_disks::read_mount_table(system.mount_table);
    if (!mounts) return std::unexpected(mounts.error());
    const auto on_disk = linux_disks::mounts_on(*mounts, *nodes);
    if (on_disk.empty()) return {};
    const std::string& mount_point = on_disk.back().mount_point;
    // UMOUNT_NOFOLLOW: a symbolic link planted on the path cannot redirect it.
    if (::umount2(mount_point.c_str(), UMOUNT_NOFOLLOW) != 0) {
      return std::unexpected(Error::io("unmount " + mount_point + ": " + os_error_text(errno)));
    }
  }
  return std::unexpected(Error::io("unmount " + disk.path + ": file systems are still mounted"));
}

Result<UniqueFd> LinuxRawBackend::open_for_writing(const RawDisk& disk) const {
  if (disk.naming != RawDisk::Naming::Linux) return RawDiskBackend::open_for_writing(disk);
  return open_device(disk.path, O_RDWR | O_EXCL);
}

Result<std::string> LinuxRawBackend::read_back(const RawDisk& disk, std::uint64_t count) const {
  if (disk.naming != RawDisk::Naming::Linux) return RawDiskBackend::read_back(disk, count);
  UniqueFd direct(::open(disk.path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
  if (direct.valid()) return hash_direct(direct.get(), count);
  if (errno != EINVAL) return std::unexpected(last_os_error());
  // The node refuses direct I/O: write its dirty pages out and drop its cached
  // ones, so that the reads below go to the storage.
  UniqueFd device(::open(disk.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(last_os_error());
  if (::fdatasync(device.get()) != 0 && errno != EINVAL) return std::unexpected(last_os_error());
  ::posix_fadvise(device.get(), 0, 0, POSIX_FADV_DONTNEED);
  return checksum::sha256_reader(device.get(), count);
}

}  // namespace kelmar_vindle::helper
