// The file sink: the job's image into an ordinary file, through the same
// copy and read-back loop as a disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/client_process.hpp"
#include "kelmar_vindle/write.hpp"
#include "kelmar_vindle/write/checked_image.hpp"
#include "kelmar_vindle/write/disk_interface.hpp"
#include "kelmar_vindle/write/job_image.hpp"

namespace kelmar_vindle {
namespace {

// Where the sink's bytes come from, to refuse a sink that is that file.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
};

// The sink as a disk: named by its path whatever the target, prepared by
// creating its directories, truncated once opened, not flushed (nothing asks
// for stable storage here), and read back through the descriptor it was
// written through, so that the name is resolved once. Both the directories
// and the file are reached with the opener's rights and through no symbolic
// link.
class SinkDisk final : public write::DiskInterface {
 public:
  SinkDisk(const std::filesystem::path& sink, ClientPaths& opener, std::optional<FileId> image = std::nullopt)
      : sink_(sink), opener_(opener), image_(image) {}

  Result<write::Disk> locate(const DeviceIdentity& /*target*/) const override {
    if (auto clean = check_no_interior_nul(sink_.native()); !clean) return std::unexpected(clean.error());
    return write::Disk{sink_.string(), sink_.string(), 0};
  }

  Result<void> prepare(const write::Disk& /*disk*/) const override {
    const auto parent = sink_.parent_path();
    if (parent.empty()) return {};
    return opener_.make_directories(parent);  // 0777 before the umask
  }

  // A FIFO fails at once instead of blocking (with the system's text); the
  // writes then block again as usual. Nothing is truncated before the file
  // is known not to be the image.
  Result<UniqueFd> open_for_writing(const write::Disk& disk) const override {
    auto sink = opener_.open(disk.path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666, Links::Refuse);
    if (!sink) return std::unexpected(sink.error());
    // Opened for reading too (to read back), a FIFO would not block but
    // would take at most a pipe's worth: refused as the system refuses a
    // FIFO nobody reads.
    struct stat info {};
    if (::fstat(sink->get(), &info) != 0) return std::unexpected(last_os_error());
    if (S_ISFIFO(info.st_mode)) return std::unexpected(os_error(ENXIO));
    if (image_ && info.st_dev == image_->device && info.st_ino == image_->inode) {
      return std::unexpected(Error::io("the sink is the image file itself"));
    }
    if (S_ISREG(info.st_mode) && ::ftruncate(sink->get(), 0) != 0) return std::unexpected(last_os_error());
    const int flags = ::fcntl(sink->get(), F_GETFL);
    if (flags < 0 || ::fcntl(sink->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::unexpected(last_os_error());
    return std::move(*sink);
  }

  Result<void> write_chunk(int fd, std::span<const std::byte> chunk) const override { return write_all(fd, chunk); }

  Result<void> flush(int /*fd*/) const override { return {}; }

  // The length is judged first: from the metadata for a regular file, from
  // the data itself for anything else (a device has no length of its own).
  Result<std::string> read_back(const write::Disk& /*disk*/, int written, std::uint64_t count,
                                const checksum::HashStep& step) const override {
    struct stat info {};
    if (::fstat(written, &info) != 0) return std::unexpected(last_os_error());
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) != count) {
      return std::unexpected(Error::make<ErrorKind::SizeMismatch>(count, static_cast<std::uint64_t>(info.st_size)));
    }
    // Devices such as /dev/null or /dev/zero do not seek; they read from anywhere alike.
    if (::lseek(written, 0, SEEK_SET) != 0 && S_ISREG(info.st_mode)) return std::unexpected(last_os_error());
    return checksum::sha256_reader(written, count, step);
  }

 private:
  const std::filesystem::path& sink_;
  ClientPaths& opener_;
  std::optional<FileId> image_;
};

}  // namespace

Result<std::string> MockFileBackend::write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                                      const std::atomic<bool>& cancel, ProgressFn& progress) const {
  ClientPaths opener(opener_);
  const SinkDisk disks(sink_path_, opener);
  const auto disk = disks.locate(job.target);
  if (!disk) return std::unexpected(disk.error());
  if (auto prepared = disks.prepare(*disk); !prepared) return std::unexpected(prepared.error());
  auto source = write::ChunkSource::from_bytes(image);
  return write::copy_and_verify(disks, *disk, source, image.size(), job, cancel, progress);
}

Result<std::string> MockFileBackend::write_job(const WriteJob& job, const ImageAccess& access,
                                               const std::atomic<bool>& cancel, ProgressFn& progress) const {
  auto image = write::JobImage::open(job, access, progress, cancel);
  if (!image) return std::unexpected(std::move(image.error()));
  std::optional<FileId> image_file;
  if (const auto* checked_image = image->checked()) {
    struct stat checked {};
    if (::fstat(checked_image->fd(), &checked) != 0) return std::unexpected(last_os_error());
    image_file = FileId{checked.st_dev, checked.st_ino};
  }
  // The sink stands in for the job's target, whose size it takes.
  const std::uint64_t capacity = job.target.size;
  if (auto begun = image->begin(capacity, access.client, cancel, progress); !begun)
    return std::unexpected(begun.error());
  ClientPaths opener(opener_);
  const SinkDisk disks(sink_path_, opener, image_file);
  const auto disk = disks.locate(job.target);
  if (!disk) return std::unexpected(disk.error());
  if (auto prepared = disks.prepare(*disk); !prepared) return std::unexpected(prepared.error());
  if (auto unchanged = image->check_unchanged(); !unchanged) return std::unexpected(unchanged.error());
  return image->copy(disks, *disk, job, capacity, cancel, progress);
}

}  // namespace kelmar_vindle
