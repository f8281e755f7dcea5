// A job's image from its handing over to its copy, for every backend: a
// plain regular file goes exactly the checked way (checked_image.hpp: opened
// once, length first, hashed, the same descriptor copied); a compressed file
// (known by its leading bytes only, image_format.hpp) and any stream (a pipe
// or socket handed over as the image's descriptor) go through an
// `ImageStream`, copied with its first MiB last (disk_interface.hpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/decoder_process.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/image_format.hpp"
#include "kelmar_vindle/job.hpp"
#include "kelmar_vindle/write.hpp"
#include "kelmar_vindle/write/checked_image.hpp"
#include "kelmar_vindle/write/disk_interface.hpp"
#include "kelmar_vindle/write/image_stream.hpp"

namespace kelmar_vindle::write {

// Owns the image's descriptor, and once begun its `ImageStream`. Used by one
// thread; moved, never copied.
class JobImage {
 public:
  // Opens the image as `access` says. A regular file is checked as
  // `open_checked_image` checks it and its format read from its first bytes;
  // a handed-over pipe or socket is a stream, whose first bytes are read
  // (and kept) to learn its format, watching `cancel`. A plain file whose
  // digest is not the job's `expected_decoded_sha256` fails here
  // (`ImageHashMismatch`). Anything else (a FIFO named by path, a device)
  // is refused as `open_image` refuses it.
  [[nodiscard]] static Result<JobImage> open(const WriteJob& job, const ImageAccess& access, const ProgressFn& progress,
                                             const std::atomic<bool>& cancel);

  ImageFormat format() const { return format_; }
  // Whether the image is an uncompressed regular file (today's path).
  bool plain() const { return checked_.has_value() && format_ == ImageFormat::Raw; }
  // The checked file, for a file; null for a stream.
  const CheckedImage* checked() const { return checked_ ? &*checked_ : nullptr; }

  // For anything but a plain file: starts the decoder (as `who`, limited to
  // `capacity`, the disk's size) and the threads. A decoded length the
  // container states over `capacity` fails here; call it before the disk
  // is prepared. `program` names the decoder for tests; by default it is
  // the one beside the helper's executable. `progress` is borrowed until
  // `copy` returns and told `waiting` while the stream keeps the job
  // waiting. Nothing for a plain file.
  [[nodiscard]] Result<void> begin(std::uint64_t capacity, const Client& who, const std::atomic<bool>& cancel,
                                   const ProgressFn& progress, const DecoderProgram* program = nullptr);

  // A file's `check_unchanged`; nothing for a stream.
  [[nodiscard]] Result<void> check_unchanged() const;
  // The whole the first `Writing` report gives: the file's length for a
  // plain file, the decoded length where the container states it, else 0.
  std::uint64_t writing_total() const;

  // Copies onto `disk` with `copy_and_verify`: a plain file's
  // `expected_size` bytes, or the stream's bytes (at most `capacity`) with
  // the first MiB last. Returns the digest read back.
  [[nodiscard]] Result<std::string> copy(const DiskInterface& disks, const Disk& disk, const WriteJob& job,
                                         std::uint64_t capacity, const std::atomic<bool>& cancel, ProgressFn& progress);

 private:
  JobImage(const WriteJob& job, ImageFormat format) : job_(&job), format_(format) {}

  const WriteJob* job_;  // borrowed for the job
  ImageFormat format_ = ImageFormat::Raw;
  std::optional<CheckedImage> checked_;
  std::optional<GivenImage> given_;  // until begun
  std::unique_ptr<ImageStream> stream_;
};

}  // namespace kelmar_vindle::write
