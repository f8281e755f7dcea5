// Linux: fsync on a block device already flushes the drive's cache.
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "raw_device.hpp"

namespace kelmar_vindle::helper::raw_device {

std::optional<std::uint64_t> media_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode)) return std::nullopt;
  std::uint64_t size = 0;
  if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return std::nullopt;
  return size;
}

int exclusive_open_flags() { return 0; }

std::optional<std::uint32_t> block_size(int fd) {
  struct stat info {};
  int logical = 0;
  if (::fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode) || ::ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(logical);
}

Result<void> synchronize_cache(int /*fd*/) { return {}; }

}  // namespace kelmar_vindle::helper::raw_device
