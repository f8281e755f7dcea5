#include "kelmar_vindle/write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_file.hpp"

namespace kelmar_vindle {
namespace {

Error last_os_error() { return Error::io(os_error_text(errno)); }

// Reads the file into one buffer of the size its metadata gives.
Result<PageBuffer> read_whole(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(last_os_error());
  auto buffer = PageBuffer::allocate(static_cast<std::size_t>(info.st_size));
  if (!buffer) return buffer;
  const std::span<std::byte> room = buffer->room();
  std::size_t filled = 0;
  while (filled < room.size()) {
    const ssize_t got = ::read(fd, room.data() + filled, room.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  buffer->set_size(filled);
  return buffer;
}

Result<void> create_parent_directories(const std::filesystem::path& path) {
  const auto parent = path.parent_path();
  if (parent.empty()) return {};
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);  // 0777 before the umask
  if (ec) return std::unexpected(Error::io(os_error_text(ec.value())));
  return {};
}

// Reads the sink back and checks it against the job, streaming it through
// the hash rather than holding a second copy of the image. The length is
// judged first: from the metadata for a regular file, from the data itself
// for anything else (a device has no length of its own).
Result<std::string> verify_sink(const std::filesystem::path& sink, const WriteJob& job) {
  UniqueFd fd(::open(sink.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(last_os_error());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(last_os_error());
  if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) != job.expected_size) {
    return std::unexpected(
        Error::make<ErrorKind::SizeMismatch>(job.expected_size, static_cast<std::uint64_t>(info.st_size)));
  }
  auto digest = checksum::sha256_reader(fd.get(), job.expected_size);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (*digest != job.expected_sha256) {
    return std::unexpected(Error::make<ErrorKind::VerifyMismatch>(job.expected_sha256, std::move(*digest)));
  }
  return std::move(*digest);
}

}  // namespace

Result<std::string> WriteBackend::write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                            ProgressFn& progress) const {
  auto image = write::load_and_check_image(job.image_path, job.expected_sha256, job.expected_size);
  if (!image) return std::unexpected(std::move(image.error()));
  return write_and_verify(job, image->bytes(), cancel, progress);
}

Result<std::string> MockFileBackend::write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                                      const std::atomic<bool>& cancel, ProgressFn& progress) const {
  if (sink_path_.native().find('\0') != std::string::npos) {
    return std::unexpected(Error::io("paths must not contain interior null bytes"));
  }
  if (auto made = create_parent_directories(sink_path_); !made) return std::unexpected(made.error());
  UniqueFd sink(::open(sink_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!sink.valid()) return std::unexpected(last_os_error());

  const std::uint64_t total = image.size();
  std::uint64_t done = 0;
  while (done < total) {
    if (cancel.load(std::memory_order_acquire)) {
      progress(WritePhase::of(WritePhase::Kind::Cancelled));
      return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    }
    const auto chunk = image.subspan(done, std::min<std::uint64_t>(total - done, write::kChunkSize));
    if (auto written = write_all(sink.get(), chunk); !written) return std::unexpected(written.error());
    done += chunk.size();
    progress(WritePhase::writing(done, total));
  }
  progress(WritePhase::of(WritePhase::Kind::Written));
  sink = UniqueFd();  // closed before it is read back; no flush to stable storage is asked for

  progress(WritePhase::of(WritePhase::Kind::Verifying));
  auto digest = verify_sink(sink_path_, job);
  if (!digest) return digest;
  progress(WritePhase::of(WritePhase::Kind::Verified));
  return digest;
}

namespace write {

Result<void> check_image(const std::filesystem::path& path, std::string_view expected_sha256,
                         std::uint64_t expected_size) {
  auto verdict = checksum::verify_file(path, expected_sha256, expected_size);
  if (!verdict) return std::unexpected(std::move(verdict.error()));
  if (auto* size = std::get_if<checksum::SizeDiffers>(&*verdict)) {
    return std::unexpected(Error::make<ErrorKind::SizeMismatch>(size->expected, size->actual));
  }
  if (auto* hash = std::get_if<checksum::HashDiffers>(&*verdict)) {
    return std::unexpected(
        Error::make<ErrorKind::ImageHashMismatch>(std::move(hash->expected), std::move(hash->actual)));
  }
  return {};
}

Result<PageBuffer> load_and_check_image(const std::filesystem::path& path, std::string_view expected_sha256,
                                        std::uint64_t expected_size) {
  if (auto checked = check_image(path, expected_sha256, expected_size); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  auto fd = open_image(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return read_whole(fd->get());
}

}  // namespace write
}  // namespace kelmar_vindle
