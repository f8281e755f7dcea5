#include "kelmar_vindle/write/checked_image.hpp"

#include <sys/stat.h>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/image_file.hpp"

namespace kelmar_vindle::write {
namespace {

// The platforms name the nanosecond timestamps differently (st_mtim on
// Linux, st_mtimespec on macOS); take whichever this one has.
template <class Stat>
timespec modified_of(const Stat& info) {
  if constexpr (requires { info.st_mtim; }) {
    return info.st_mtim;
  } else {
    return info.st_mtimespec;
  }
}
template <class Stat>
timespec changed_of(const Stat& info) {
  if constexpr (requires { info.st_ctim; }) {
    return info.st_ctim;
  } else {
    return info.st_ctimespec;
  }
}

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

Result<CheckedImage::Stamp> CheckedImage::stamp_of(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(last_os_error());
  return Stamp{static_cast<std::uint64_t>(info.st_size), modified_of(info), changed_of(info)};
}

Result<void> CheckedImage::check_unchanged() const {
  const auto now = stamp_of(fd_.get());
  if (!now) return std::unexpected(now.error());
  if (now->size != stamp_.size || !same_time(now->modified, stamp_.modified) ||
      !same_time(now->changed, stamp_.changed)) {
    return std::unexpected(Error::io("image changed after it was checked"));
  }
  return {};
}

Result<CheckedImage> open_checked_image(const std::filesystem::path& path, std::string_view expected_sha256,
                                        std::uint64_t expected_size, const ImageAccess& access,
                                        const ProgressFn& progress, const std::atomic<bool>* cancel) {
  auto fd = open_image(path, access);
  if (!fd) return std::unexpected(std::move(fd.error()));
  // Taken before the hash: a change while it runs shows at the copy.
  const auto stamp = CheckedImage::stamp_of(fd->get());
  if (!stamp) return std::unexpected(stamp.error());

  const bool cancelled_before = cancel != nullptr && cancel->load(std::memory_order_acquire);
  const checksum::HashStep counted = [&](std::uint64_t done) -> Result<void> {
    progress.count(WritePhase::Kind::CheckingImage, done, expected_size);
    if (cancel != nullptr && !cancelled_before && done < expected_size && cancel->load(std::memory_order_acquire)) {
      progress(WritePhase::of(WritePhase::Kind::Cancelled));
      return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    }
    return {};
  };
  auto verdict = checksum::verify_open_file(fd->get(), expected_sha256, expected_size, counted);
  if (!verdict) return std::unexpected(std::move(verdict.error()));
  if (auto* size = std::get_if<checksum::SizeDiffers>(&*verdict)) {
    return std::unexpected(Error::make<ErrorKind::SizeMismatch>(size->expected, size->actual));
  }
  if (auto* hash = std::get_if<checksum::HashDiffers>(&*verdict)) {
    return std::unexpected(
        Error::make<ErrorKind::ImageHashMismatch>(std::move(hash->expected), std::move(hash->actual)));
  }
  return CheckedImage(std::move(*fd), *stamp);
}

}  // namespace kelmar_vindle::write
