// An image opened once and proven to be the one a job names. The descriptor
// that was checked is the one that is copied, so a file swapped in at the
// same path afterwards is never read.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::write {

// Owns the image's descriptor from its check to its copy. Not shared between
// threads; moved, never copied. Read it with `read_exactly_at` or
// `ChunkSource::from_descriptor`, never at its file offset.
class CheckedImage {
 public:
  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return size_; }

  // Fails with `Io` "image changed after it was checked" when the file's
  // length, modification time or status-change time differ from what they
  // were when it was checked: its bytes may no longer be the checked ones.
  // A change within the file system clock's grain of the check itself can
  // go unseen here; the read-back then reports it.
  [[nodiscard]] Result<void> check_unchanged() const;

 private:
  friend Result<CheckedImage> open_checked_image(const std::filesystem::path&, std::string_view, std::uint64_t,
                                                 const ImageAccess&, const ProgressFn&, const std::atomic<bool>*);

  struct Stamp {
    std::uint64_t size = 0;
    timespec modified{};
    timespec changed{};
  };
  CheckedImage(UniqueFd fd, Stamp stamp) : fd_(std::move(fd)), size_(stamp.size), stamp_(stamp) {}

  [[nodiscard]] static Result<Stamp> stamp_of(int fd);

  UniqueFd fd_;
  std::uint64_t size_ = 0;
  Stamp stamp_;
};

// Opens the image once as `access` says (regular files only, see
// `open_image`: a file the client could not read is refused as it would be
// for the client, and nothing else about it is told), compares its
// length from the metadata with `expected_size` before reading a byte
// (`SizeMismatch` with the file's real length), hashes exactly that many
// bytes from its start (`ImageHashMismatch` naming both digests). Every
// read of it, here and in the copy, is at an offset the helper keeps
// (pread), never at its file offset: a client shares that of a descriptor it
// handed over and could move it while the image is hashed or copied. The
// hash's running count goes to
// `progress` as `CheckingImage` counts. A cancellation that arrives on
// `cancel` while the hash runs stops it at the next MiB (`Cancelled`, then
// `WriteCancelled`), before the job touches its target; one already
// requested when the check begins is left to the copy, which stops before
// its first chunk.
[[nodiscard]] Result<CheckedImage> open_checked_image(const std::filesystem::path& path,
                                                      std::string_view expected_sha256, std::uint64_t expected_size,
                                                      const ImageAccess& access,
                                                      const ProgressFn& progress = ProgressFn(),
                                                      const std::atomic<bool>* cancel = nullptr);

}  // namespace kelmar_vindle::write
