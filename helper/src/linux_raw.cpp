#include "linux_raw.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

#include "disk_faults.hpp"
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

// How long a disk that failed a transfer is given to finish going away: a
// pulled stick's last commands fail before the kernel has removed its disk,
// and the person should hear that it went away rather than the error
// number of its last command. Only paid for a failure on a disk still there.
constexpr auto kSettleAfterFault = std::chrono::seconds(1);
constexpr auto kSettleStep = std::chrono::milliseconds(50);

// The device node `fd` was opened as, from the kernel's record of this
// process's descriptor (nothing is resolved through it); "(deleted)" once
// the node was removed.
std::string opened_path(int fd) {
  std::array<char, 256> target{};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  if (length <= 0) return "the disk";
  return std::string(target.data(), static_cast<std::size_t>(length));
}

// Whether the disk behind `path` (opened as `fd`, or -1) is attached no
// more: its node removed, or a block device the kernel no longer gives a
// size.
bool detached(const std::string& path, int fd) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) return true;
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_nlink == 0) return true;
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENODEV || errno == ENXIO;
  if (!S_ISBLK(info.st_mode)) return false;
  UniqueFd probe(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!probe.valid()) return errno == ENOENT || errno == ENODEV || errno == ENXIO;
  std::uint64_t size = 0;
  return ::ioctl(probe.get(), BLKGETSIZE64, &size) != 0 || size == 0;
}

// `detached`, given the kernel a moment to finish removing a pulled disk.
bool gone_after_fault(const std::string& path, int fd) {
  const auto deadline = std::chrono::steady_clock::now() + kSettleAfterFault;
  while (!detached(path, fd)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kSettleStep);
  }
  return true;
}

Error fault_at(DiskStep step, const std::string& path, int fd, std::uint64_t offset, int error) {
  return disk_fault_error({step, path, offset, error, {}, gone_after_fault(path, fd)});
}

// Writes all of `chunk` at the descriptor's position, through a node opened
// with O_DIRECT while it is a whole number of I/O units (every chunk but
// perhaps the last); the node leaves direct I/O for a last chunk that is
// not, so nothing is padded. A failure says where on which disk.
Result<void> write_direct(int fd, std::span<const std::byte> chunk) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_DIRECT) != 0 && chunk.size() % direct_io_unit(fd) != 0 &&
      ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0) {
    return std::unexpected(last_os_error());
  }
  while (!chunk.empty()) {
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    const ssize_t put = ::write(fd, chunk.data(), chunk.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // A write that takes nothing is the end of the disk, as ENOSPC is.
      const int error = put < 0 ? errno : ENOSPC;
      return std::unexpected(
          fault_at(DiskStep::Writing, opened_path(fd), fd, offset < 0 ? 0 : static_cast<std::uint64_t>(offset), error));
    }
    chunk = chunk.subspan(static_cast<std::size_t>(put));
  }
  return {};
}

// Whether the kernel marks the block device at `path` read-only (a stick's
// lock switch, a write-protected medium); false for anything else.
bool read_only(const std::string& path) {
  UniqueFd device(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  int read_only = 0;
  return device.valid() && ::ioctl(device.get(), BLKROGET, &read_only) == 0 && read_only != 0;
}

// Asks the device to stop (SCSI START STOP UNIT, START clear), as a power-off
// does before the disk is removed. Best effort: many sticks ignore it, and
// the removal that follows stops them anyway.
void stop_unit(int fd) {
  std::array<unsigned char, 6> command{0x1b, 0, 0, 0, 0, 0};
  std::array<unsigned char, 32> sense{};
  sg_io_hdr_t request{};
  request.interface_id = 'S';
  request.dxfer_direction = SG_DXFER_NONE;
  request.cmd_len = static_cast<unsigned char>(command.size());
  request.cmdp = command.data();
  request.mx_sb_len = static_cast<unsigned char>(sense.size());
  request.sbp = sense.data();
  request.timeout = 10000;  // milliseconds
  [[maybe_unused]] const int ignored = ::ioctl(fd, SG_IO, &request);
}

// Something else may hold a freshly written disk for a moment (the kernel's
// partition scan, a desktop's prober looking at the new contents): two
// seconds of retries, then the disk is taken as busy.
constexpr int kBusyRetries = 20;
constexpr auto kBusyStep = std::chrono::milliseconds(100);

// Runs `attempt` (0, or the system's error number) again while it answers
// EBUSY, at most `kBusyRetries` times; its last answer.
template <class Attempt>
int retry_while_busy(const Attempt& attempt) {
  int error = attempt();
  for (int tries = 1; error == EBUSY && tries < kBusyRetries; ++tries) {
    std::this_thread::sleep_for(kBusyStep);
    error = attempt();
  }
  return error;
}

int open_exclusive(const std::string& path, UniqueFd& device) {
  device = UniqueFd(::open(path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC));
  return device.valid() ? 0 : errno;
}

// The whole disk, opened exclusively.
Result<UniqueFd> open_exclusively(const std::string& path) {
  UniqueFd device;
  const int error = retry_while_busy([&] { return open_exclusive(path, device); });
  if (error != 0) return std::unexpected(os_error(error, "open " + path + " exclusively"));
  return device;
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
  // A locked stick cannot take the image: refused before its file systems go.
  if (read_only(disk.path)) return std::unexpected(write_protected_error());
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
  auto device = open_disk_node(disk, O_RDWR | O_EXCL, O_DIRECT);
  if (device) return device;
  // A stick locked after `prepare` looked: the system says EROFS or EACCES.
  if (read_only(disk.path)) return std::unexpected(write_protected_error());
  // Pulled since it was re-identified: ENXIO, or its node gone.
  if (detached(disk.path, -1)) return std::unexpected(disk_fault_error({DiskStep::Writing, disk.path, 0, 0, {}, true}));
  return device;
}

std::size_t LinuxDisks::transfer_unit(int fd) const {
  // A block device written directly takes whole logical blocks only; files
  // standing in for one, and nodes written through the cache, take any length.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_DIRECT) == 0) return 1;
  return raw_device::block_size(fd).value_or(1);
}

Result<void> LinuxDisks::write_chunk(int fd, std::span<const std::byte> chunk) const { return write_direct(fd, chunk); }

Result<void> LinuxDisks::flush(int fd) const {
  if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTTY) {
    return std::unexpected(fault_at(DiskStep::Flushing, opened_path(fd), fd, 0, errno));
  }
  return {};
}

Result<std::string> LinuxDisks::read_back(const write::Disk& disk, int written, std::uint64_t count,
                                          const checksum::HashStep& step) const {
  std::uint64_t hashed = 0;  // where a failed read began: after the last MiB hashed
  const checksum::HashStep counted = [&](std::uint64_t done) -> Result<void> {
    hashed = done;
    return step ? step(done) : Result<void>{};
  };
  auto digest = sha256_from_storage(disk.path, count, counted);
  if (digest || digest.error().kind() == ErrorKind::WriteCancelled) return digest;
  // A disk that ends early, or fails a read, may have been pulled.
  DiskFault fault{
      DiskStep::Verifying, disk.path, hashed, 0, digest.error().detail(), gone_after_fault(disk.path, written)};
  if (digest.error().kind() == ErrorKind::SizeMismatch && !fault.gone) return digest;
  return std::unexpected(disk_fault_error(fault));
}

void LinuxDisks::reread_partitions(const write::Disk& disk) const {
  // The kernel scans only for an exclusive opener (or when nothing holds
  // the disk), and answers EBUSY while anything holds a partition open.
  retry_while_busy([&] {
    UniqueFd device;
    if (const int error = open_exclusive(disk.path, device); error != 0) return error;
    return ::ioctl(device.get(), BLKRRPART) == 0 ? 0 : errno;
  });
}

Result<void> LinuxDisks::eject(const write::Disk& disk) const {
  // As a power-off does: nothing of the disk mounted (a desktop may have
  // mounted the new partitions meanwhile), nobody else holding it, its
  // caches written out and the unit stopped, then the SCSI device deleted,
  // which takes the disk and its partitions out of the system before the
  // write to `delete` returns.
  if (auto unmounted = prepare(disk); !unmounted) return unmounted;
  {
    auto device = open_exclusively(disk.path);
    if (!device) return std::unexpected(Error::io("the disk is still in use: " + device.error().detail()));
    if (::fsync(device->get()) != 0 && errno != EINVAL) return std::unexpected(last_os_error("flush " + disk.path));
    stop_unit(device->get());
  }
  // sysfs is the kernel's: its links lead to the disk's own SCSI device, and
  // the name was checked to be "sd" and letters.
  const std::filesystem::path remove = paths_.linux_system.sysfs / "block" / disk.name / "device" / "delete";
  UniqueFd control(::open(remove.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!control.valid()) return std::unexpected(last_os_error("open " + remove.string()));
  if (auto removed = write_all(control.get(), std::string_view("1")); !removed) {
    return std::unexpected(Error::io("remove " + disk.name + ": " + removed.error().detail()));
  }
  return {};
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
