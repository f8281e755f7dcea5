// The seam between the write pipeline and where the bytes go. Each host
// supplies one `DiskInterface` for its disks (how a disk is named, prepared,
// opened, written, flushed and read back) and the file sink is one more, so
// that the copy, flush and read-back loop below exists once for all of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/identity.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/job.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::write {

// A disk as an interface names it for one job.
struct Disk {
  std::string name;        // as the target carries it ("disk4", "sdb"), or the sink's path
  std::string path;        // the node (or file) opened for writing and reading back
  std::uint64_t size = 0;  // the confirmed disk's size, which its node must have; 0 for the sink
};

// Implementations hold only their configuration; every call is independent,
// takes the object read-only and runs on the caller's thread.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // The disk `target` names, or why it may not be written (`RejectedNotUsb`,
  // `RejectedSystem`, `DeviceIdentityMismatch`). Touches nothing.
  [[nodiscard]] virtual Result<Disk> locate(const DeviceIdentity& target) const = 0;
  // Makes the disk ready to be opened: nothing of it left mounted.
  [[nodiscard]] virtual Result<void> prepare(const Disk& disk) const = 0;
  // Opened for writing from offset 0.
  [[nodiscard]] virtual Result<UniqueFd> open_for_writing(const Disk& disk) const = 0;
  // The size every read and write on `fd` must be a whole number of, at an
  // offset that is one too (a raw node's block); 1 where any length goes.
  // The copy loop then writes the image's last partial block whole (see
  // whole_blocks.hpp), and a node that needs it reads back in such units.
  [[nodiscard]] virtual std::size_t transfer_unit(int /*fd*/) const { return 1; }
  // All of `chunk`, at the descriptor's position.
  [[nodiscard]] virtual Result<void> write_chunk(int fd, std::span<const std::byte> chunk) const = 0;
  // Puts what was written on the medium.
  [[nodiscard]] virtual Result<void> flush(int fd) const = 0;
  // The digest of exactly the first `count` bytes as the disk holds them; a
  // disk that ends first fails with `SizeMismatch`. `written` is the
  // descriptor the bytes were written through, still open; an interface may
  // read back through it or open the disk anew. `step` is told the bytes
  // hashed so far after each MiB and at the end; its error ends the read.
  [[nodiscard]] virtual Result<std::string> read_back(const Disk& disk, int written, std::uint64_t count,
                                                      const checksum::HashStep& step) const = 0;
};

// Bytes that can only be checked as they arrive: an image decoded on the
// fly, or one streamed by the client. The copy holds such bytes' first MiB
// back until `settle` has passed (see `copy_and_verify`). Used by the one
// thread that copies.
class ChunkStream {
 public:
  // What the read-back must find once every check passed.
  struct Settled {
    std::string sha256;
    std::uint64_t size = 0;
  };

  virtual ~ChunkStream() = default;
  // The next `length` bytes, fewer only where the bytes end (then an empty
  // span at each further call); valid until the next call. Waits for them.
  [[nodiscard]] virtual Result<std::span<const std::byte>> next(std::size_t length) = 0;
  // Called once the copy has taken every byte (or as many as the disk
  // holds): every check of the bytes given, which fails where any differs
  // from what the job and the producer promised.
  [[nodiscard]] virtual Result<Settled> settle() = 0;
};

// Where the copied bytes come from: a descriptor read in order from its
// start through one 1 MiB buffer, at offsets the source counts itself
// (pread; the descriptor's file offset is neither used nor moved), bytes
// the caller already holds, or a `ChunkStream` (borrowed).
class ChunkSource {
 public:
  [[nodiscard]] static Result<ChunkSource> from_descriptor(int fd);
  static ChunkSource from_bytes(std::span<const std::byte> bytes) { return ChunkSource(bytes); }
  // `total` is what the `Writing` reports give as the whole: the length
  // the stream's producer stated, or 0 where it is not known.
  static ChunkSource from_stream(ChunkStream& stream, std::uint64_t total) { return ChunkSource(stream, total); }

  // The next `length` bytes (at most one chunk), valid until the next call.
  // A descriptor that ends first fails with `Io` "failed to fill whole buffer".
  [[nodiscard]] Result<std::span<const std::byte>> next(std::size_t length);

  ChunkStream* stream() const { return stream_; }
  std::uint64_t stream_total() const { return stream_total_; }

 private:
  explicit ChunkSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  ChunkSource(int fd, PageBuffer buffer) : fd_(fd), buffer_(std::move(buffer)) {}
  ChunkSource(ChunkStream& stream, std::uint64_t total) : stream_(&stream), stream_total_(total) {}

  int fd_ = -1;               // borrowed
  std::uint64_t offset_ = 0;  // where the next chunk of `fd_` is read
  std::optional<PageBuffer> buffer_;
  std::span<const std::byte> bytes_;
  ChunkStream* stream_ = nullptr;  // borrowed
  std::uint64_t stream_total_ = 0;
};

// The loop every backend shares. Opens the disk; copies `count` bytes from
// `source` onto it from offset 0 in 1 MiB chunks (a last chunk that ends
// inside a transfer unit written as whole units, the unit's bytes after the
// image as the disk held them), reading the cancellation
// flag (acquire) before each (`Cancelled`, then `WriteCancelled`) and
// reporting `Writing` after each; flushes it and reports `Written`; reports
// `Verifying`, reads back the job's `expected_size` bytes (counting them as
// `Verifying` counts, and reading the flag again between two MiB of them:
// a disk whose read-back was stopped is as unproven as one half written)
// and compares their digest with its `expected_sha256` (`VerifyMismatch`);
// reports `Verified` and returns the digest read back; the disk is closed on
// every path. Nothing is reported after a failure; the disk keeps whatever
// was written.
//
// A stream source (`ChunkSource::from_stream`) is copied with its first MiB
// last: `count` is then the most it may give (the disk's capacity), and its
// first MiB is held in memory while the rest is written and flushed; only
// once `settle` passed is it written and flushed, and the read-back covers
// exactly the settled length against the settled digest. On any failure
// after the disk was opened (the stream's, the disk's, a cancellation, the
// read-back's) zeros are written over the first MiB, or as far as the image
// reached, and flushed, so that the disk holds no partition table pointing
// at half-written data.
[[nodiscard]] Result<std::string> copy_and_verify(const DiskInterface& disks, const Disk& disk, ChunkSource& source,
                                                  std::uint64_t count, const WriteJob& job,
                                                  const std::atomic<bool>& cancel, ProgressFn& progress);

}  // namespace kelmar_vindle::write
