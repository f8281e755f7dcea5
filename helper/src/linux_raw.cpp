#include "linux_raw.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/write/whole_blocks.hpp"
#include "linux_mounts.hpp"
#include "mount_namespace.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper {
namespace {

// Enough passes for any sane stack of mounts on one stick; a table that keeps
// showing mounts after that is reported instead of looping.
constexpr int kMaxUnmounts = 64;

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

// Reads [0, count) of a node opened with O_DIRECT on a thread of its own, up
// to `kDepth` chunks ahead of the caller, so that hashing one chunk overlaps
// reading the next: the read-back then runs at the speed of the slower of the
// two instead of their sum. Each read is 1 MiB into page-aligned memory; the
// last is rounded up to the I/O unit and trimmed (`write::read_rounded_at`).
class DirectReadAhead {
 public:
  static constexpr std::size_t kDepth = 4;

  struct Chunk {
    std::span<const std::byte> bytes;  // empty at the end of the device
    std::optional<Error> error;
  };

  // `buffers` holds `kDepth` buffers of one chunk each.
  DirectReadAhead(int fd, std::uint64_t count, std::vector<PageBuffer> buffers)
      : buffers_(std::move(buffers)), reader_([this, fd, count] { read_all(fd, count); }) {}
  DirectReadAhead(const DirectReadAhead&) = delete;
  DirectReadAhead& operator=(const DirectReadAhead&) = delete;
  ~DirectReadAhead() {
    stop_.store(true, std::memory_order_release);
    free_.release(kDepth);  // wakes a reader waiting for room; `reader_` joins next
  }

  // The next chunk in order; its bytes stay valid until the following call.
  Chunk next() {
    if (consumed_ > 0) free_.release();
    filled_.acquire();
    return std::move(chunks_[consumed_++ % kDepth]);
  }

 private:
  void read_all(int fd, std::uint64_t count) {
    const std::size_t unit = std::min(direct_io_unit(fd), write::kChunkSize);
    std::uint64_t done = 0;
    bool at_end = false;
    for (std::size_t index = 0; done < count; ++index) {
      free_.acquire();
      if (stop_.load(std::memory_order_acquire)) return;
      Chunk& chunk = chunks_[index % kDepth];
      const std::span<std::byte> room = buffers_[index % kDepth].room();
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, room.size()));
      write::RoundedRead read;
      if (!at_end) {
        auto got = write::read_rounded_at(fd, room, want, done, unit);
        if (!got) {
          chunk = {{}, std::move(got.error())};
          filled_.release();
          return;
        }
        read = *got;
      }
      chunk = {room.first(read.used), std::nullopt};
      done += read.used;
      at_end = read.at_end;
      filled_.release();
      if (read.used == 0) return;
    }
  }

  std::vector<PageBuffer> buffers_;
  std::array<Chunk, kDepth> chunks_{};
  std::counting_semaphore<> free_{kDepth};
  std::counting_semaphore<> filled_{0};
  std::atomic<bool> stop_{false};
  std::size_t consumed_ = 0;
  std::jthread reader_;  // last: joined before the members above go
};

// Hashes exactly `count` bytes from offset 0 of a node opened with O_DIRECT.
Result<std::string> hash_direct(int fd, std::uint64_t count, const checksum::HashStep& step) {
  std::vector<PageBuffer> buffers;
  for (std::size_t i = 0; i < DirectReadAhead::kDepth; ++i) {
    auto buffer = PageBuffer::allocate(write::kChunkSize);
    if (!buffer) return std::unexpected(std::move(buffer.error()));
    buffers.push_back(std::move(*buffer));
  }
  DirectReadAhead reader(fd, count, std::move(buffers));
  checksum::Sha256 digest;
  std::uint64_t done = 0;
  while (done < count) {
    auto chunk = reader.next();
    if (chunk.error) return std::unexpected(std::move(*chunk.error));
    if (chunk.bytes.empty()) return std::unexpected(Error::make<ErrorKind::SizeMismatch>(count, done));
    digest.update(chunk.bytes);
    done += chunk.bytes.size();
    if (step) {
      if (auto going_on = step(done); !going_on) return std::unexpected(std::move(going_on.error()));
    }
  }
  return digest.finalize();
}

// Writes `chunk` through a node opened with O_DIRECT while it is a whole
// number of I/O units (every chunk but perhaps the last); the node leaves
// direct I/O for a last chunk that is not, so nothing is padded.
Result<void> write_direct(int fd, std::span<const std::byte> chunk) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_DIRECT) != 0 && chunk.size() % direct_io_unit(fd) != 0 &&
      ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0) {
    return std::unexpected(last_os_error());
  }
  return write_all(fd, chunk);
}

// Unmounts every file system mounted from `nodes` in this process's mount
// namespace: one mount at a time, the latest first (it may sit on top of
// another), and the table read again after each, since unmounting one may
// take its peers along.
Result<void> unmount_all(const device::linux::SystemPaths& system, const std::vector<linux_mounts::BlockNode>& nodes,
                         const std::string& disk_path) {
  for (int pass = 0; pass < kMaxUnmounts; ++pass) {
    const auto mounts = device::linux::read_mount_table(system.mount_table);
    if (!mounts) return std::unexpected(mounts.error());
    const auto on_disk = linux_mounts::mounts_on(*mounts, nodes);
    if (on_disk.empty()) return {};
    const std::string& mount_point = on_disk.back().mount_point;
    // UMOUNT_NOFOLLOW: a symbolic link planted on the path cannot redirect it.
    if (::umount2(mount_point.c_str(), UMOUNT_NOFOLLOW) != 0) {
      const int error = errno;
      return std::unexpected(os_error(error, "unmount " + mount_point));
    }
  }
  return std::unexpected(Error::io("unmount " + disk_path + ": file systems are still mounted"));
}

}  // namespace

Result<std::string> LinuxDisks::sd_path(std::string_view name) const {
  constexpr std::string_view kPrefix = "sd";
  const bool whole_sd_disk =
      name.starts_with(kPrefix) && name.size() > kPrefix.size() &&
      std::all_of(name.begin() + kPrefix.size(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (!whole_sd_disk) return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  return paths_.device_directory + "/" + std::string(name);
}

Result<write::Disk> LinuxDisks::locate(const DeviceIdentity& target) const {
  if (!target.linux_dev_name) return std::unexpected(Error::make<ErrorKind::DeviceIdentityMismatch>());
  auto path = sd_path(*target.linux_dev_name);
  if (!path) return std::unexpected(std::move(path.error()));
  return write::Disk{*target.linux_dev_name, std::move(*path), target.size};
}

Result<void> LinuxDisks::prepare(const write::Disk& disk) const {
  const auto& system = paths_.linux_system;
  const auto nodes = linux_mounts::disk_nodes(system, disk.name);
  if (!nodes) return std::unexpected(nodes.error());
  const auto swaps = linux_mounts::active_swap_names(system.swaps);
  if (!swaps) return std::unexpected(swaps.error());
  for (const auto& node : *nodes) {
    if (std::find(swaps->begin(), swaps->end(), node.name) != swaps->end()) {
      return std::unexpected(
          Error::io("unmount " + paths_.device_directory + "/" + node.name + ": it is an active swap area"));
    }
  }
  // In a mount namespace of its own, the helper's mounts are copies that
  // follow the system's: the system's are unmounted (which takes the copies
  // along), then whatever is left here. Where the system's namespace cannot
  // be looked at, only this one's are; either way the exclusive open that
  // follows fails while any file system of the disk is still mounted.
  if (mount_namespace::differs_from_own(paths_.system_mount_namespace).value_or(false)) {
    auto unmounted =
        mount_namespace::run_in(paths_.system_mount_namespace, [&] { return unmount_all(system, *nodes, disk.path); });
    if (!unmounted) return unmounted;
  }
  return unmount_all(system, *nodes, disk.path);
}

Result<UniqueFd> LinuxDisks::open_for_writing(const write::Disk& disk) const {
  // Direct I/O: the chunks go from the buffer to the device like dd's with
  // oflag=direct, without a copy into the page cache; a node that refuses
  // it is written through the cache and flushed.
  return open_disk_node(disk, O_RDWR | O_EXCL, O_DIRECT);
}

std::size_t LinuxDisks::transfer_unit(int fd) const {
  // A block device written directly takes whole logical blocks only; files
  // standing in for one, and nodes written through the cache, take any length.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_DIRECT) == 0) return 1;
  return raw_device::block_size(fd).value_or(1);
}

Result<void> LinuxDisks::write_chunk(int fd, std::span<const std::byte> chunk) const { return write_direct(fd, chunk); }

Result<void> LinuxDisks::flush(int fd) const { return flush_disk_node(fd); }

Result<std::string> LinuxDisks::read_back(const write::Disk& disk, int /*written*/, std::uint64_t count,
                                          const checksum::HashStep& step) const {
  return sha256_from_storage(disk.path, count, step);
}

Result<std::string> sha256_from_storage(const std::string& path, std::uint64_t count, const checksum::HashStep& step) {
  UniqueFd direct(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
  if (direct.valid()) return hash_direct(direct.get(), count, step);
  if (errno != EINVAL) return std::unexpected(last_os_error());
  // The node refuses direct I/O: write its dirty pages out and drop its cached
  // ones, so that the reads below go to the storage.
  UniqueFd device(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(last_os_error());
  if (::fdatasync(device.get()) != 0 && errno != EINVAL) return std::unexpected(last_os_error());
  ::posix_fadvise(device.get(), 0, 0, POSIX_FADV_DONTNEED);
  return checksum::sha256_reader(device.get(), count, step);
}

}  // namespace kelmar_vindle::helper
