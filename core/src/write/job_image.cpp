#include "kelmar_vindle/write/job_image.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace kelmar_vindle::write {
namespace {

// Whether the handed-over descriptor is a stream (a pipe or a socket).
Result<bool> is_stream(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(last_os_error());
  return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

// A stream's first bytes, up to a signature's length or its end, watching
// `cancel` and telling `progress` while it waits.
Result<std::vector<std::byte>> read_leading(int fd, const std::atomic<bool>& cancel, const ProgressFn& progress) {
  std::vector<std::byte> leading;
  std::array<std::byte, kFormatSniffBytes> room{};
  while (leading.size() < room.size()) {
    if (cancel.load(std::memory_order_acquire)) return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, 100);
    if (ready < 0 && errno != EINTR) return std::unexpected(last_os_error());
    if (ready <= 0) {
      progress.waiting();
      continue;
    }
    const ssize_t got = ::read(fd, room.data(), room.size() - leading.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got < 0) return std::unexpected(last_os_error());
    if (got == 0) break;
    leading.insert(leading.end(), room.begin(), room.begin() + got);
  }
  return leading;
}

}  // namespace

Result<JobImage> JobImage::open(const WriteJob& job, const ImageAccess& access, const ProgressFn& progress,
                                const std::atomic<bool>& cancel) {
  if (access.descriptor >= 0) {
    const auto stream = is_stream(access.descriptor);
    if (!stream) return std::unexpected(stream.error());
    if (*stream) {
      UniqueFd copy(::fcntl(access.descriptor, F_DUPFD_CLOEXEC, 0));
      if (!copy.valid()) return std::unexpected(last_os_error());
      auto leading = read_leading(copy.get(), cancel, progress);
      if (!leading) return std::unexpected(leading.error());
      JobImage image(job, sniff_image_format(*leading));
      image.given_ = GivenImage{std::move(copy), true, std::move(*leading)};
      return image;
    }
  }
  auto checked = open_checked_image(job.image_path, job.expected_sha256, job.expected_size, access, progress, &cancel);
  if (!checked) return std::unexpected(checked.error());
  std::array<std::byte, kFormatSniffBytes> leading{};
  const auto length = std::min<std::uint64_t>(leading.size(), checked->size());
  if (auto read = read_exactly_at(checked->fd(), std::span(leading).first(length), 0); !read) {
    return std::unexpected(read.error());
  }
  JobImage image(job, sniff_image_format(std::span(leading).first(length)));
  if (image.format_ == ImageFormat::Raw) {
    // Its digest is known now: one that is not the decoded digest asked
    // for is refused before anything is touched.
    if (!job.expected_decoded_sha256.empty() && job.expected_decoded_sha256 != job.expected_sha256) {
      return std::unexpected(
          Error::make<ErrorKind::ImageHashMismatch>(job.expected_decoded_sha256, job.expected_sha256));
    }
  } else {
    // The decoder reads the checked open file itself (pread only).
    UniqueFd copy(::fcntl(checked->fd(), F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) return std::unexpected(last_os_error());
    image.given_ = GivenImage{std::move(copy), false, {}};
  }
  image.checked_.emplace(std::move(*checked));
  return image;
}

Result<void> JobImage::begin(std::uint64_t capacity, const Client& who, const std::atomic<bool>& cancel,
                             const ProgressFn& progress, const DecoderProgram* program) {
  if (plain() || stream_) return {};
  if (!given_) return std::unexpected(Error::io("the image was already handed on"));
  std::optional<DecoderProgram> found;
  if (program == nullptr && format_ != ImageFormat::Raw) {
    auto beside = DecoderProgram::beside_own_executable();
    if (!beside) return std::unexpected(beside.error());
    found.emplace(std::move(*beside));
    program = &*found;
  }
  auto stream = ImageStream::start(std::move(*given_), format_, *job_, capacity, who, program, cancel, progress);
  given_.reset();
  if (!stream) return std::unexpected(stream.error());
  stream_ = std::move(*stream);
  return {};
}

Result<void> JobImage::check_unchanged() const {
  if (checked_) return checked_->check_unchanged();
  return {};
}

std::uint64_t JobImage::writing_total() const {
  if (plain()) return job_->expected_size;
  if (stream_ && stream_->stated_size()) return *stream_->stated_size();
  return 0;
}

Result<std::string> JobImage::copy(const DiskInterface& disks, const Disk& disk, const WriteJob& job,
                                   std::uint64_t capacity, const std::atomic<bool>& cancel, ProgressFn& progress) {
  if (plain()) {
    auto source = ChunkSource::from_descriptor(checked_->fd());
    if (!source) return std::unexpected(source.error());
    return copy_and_verify(disks, disk, *source, job.expected_size, job, cancel, progress);
  }
  if (!stream_) return std::unexpected(Error::io("the image's decoding was not begun"));
  auto source = ChunkSource::from_stream(*stream_, writing_total());
  auto copied = copy_and_verify(disks, disk, source, capacity, job, cancel, progress);
  stream_.reset();  // stops and reaps whatever is left of the decoding
  return copied;
}

}  // namespace kelmar_vindle::write
