// macOS: raw disk nodes answer the disk ioctls; fsync on them returns without
// flushing the drive's cache, which DKIOCSYNCHRONIZE does.
#include <sys/disk.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "kelmar_vindle/file_io.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper::raw_device {

std::optional<std::uint64_t> media_size(int fd) {
  std::uint32_t block_size = 0;
  std::uint64_t block_count = 0;
  if (::ioctl(fd, DKIOCGETBLOCKSIZE, &block_size) != 0 || ::ioctl(fd, DKIOCGETBLOCKCOUNT, &block_count) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(block_size) * block_count;
}

Result<void> synchronize_cache(int fd) {
  if (::ioctl(fd, DKIOCSYNCHRONIZE) == 0) return {};
  if (errno == ENOTTY || errno == ENOTSUP || errno == EINVAL) return {};
  return std::unexpected(last_os_error());
}

}  // namespace kelmar_vindle::helper::raw_device
