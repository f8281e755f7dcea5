// macOS: raw disk nodes answer the disk ioctls; fsync on them returns without
// flushing the drive's cache, which DKIOCSYNCHRONIZE does.
#include <sys/disk.h>
#include <sys/fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "kelmar_vindle/file_io.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper::raw_device {

std::optional<std::uint64_t> media_size(int fd) {
  std::uint32_t block = 0;
  std::uint64_t block_count = 0;
  if (::ioctl(fd, DKIOCGETBLOCKSIZE, &block) != 0 || ::ioctl(fd, DKIOCGETBLOCKCOUNT, &block_count) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(block) * block_count;
}

int exclusive_open_flags() { return O_EXLOCK | O_NONBLOCK; }

std::optional<std::uint32_t> block_size(int fd) {
  std::uint32_t block = 0;
  if (::ioctl(fd, DKIOCGETBLOCKSIZE, &block) != 0 || block == 0) return std::nullopt;
  return block;
}

Result<void> synchronize_cache(int fd) {
  // The request is read by the kernel whatever it holds: zeroed, it asks for
  // the whole medium, without options.
  dk_synchronize_t whole_medium{};
  if (::ioctl(fd, DKIOCSYNCHRONIZE, &whole_medium) == 0) return {};
  // ENOTTY: a file standing in for a disk. ENOTSUP: a drive without a cache
  // to flush (its driver does not take the command).
  if (errno == ENOTTY || errno == ENOTSUP) return {};
  return std::unexpected(last_os_error("DKIOCSYNCHRONIZE"));
}

}  // namespace kelmar_vindle::helper::raw_device
