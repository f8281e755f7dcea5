// A job's image as bytes checked only as they arrive: a compressed image
// decoded by the decoder program (decoder_process.hpp), or an image the
// client streams through a pipe or socket, or both. Reading the given
// bytes, decoding, hashing and writing overlap: a feeder thread reads a
// stream, counts and hashes its bytes against the job's `expected_size` and
// `expected_sha256` and feeds the decoder; a reader thread takes the decoded
// bytes (or a plain stream's own), counts them against the disk's capacity,
// hashes them and queues them in 1 MiB buffers (at most four waiting) for
// the copy loop, which runs on the caller's thread (disk_interface.hpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/decoder_process.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_format.hpp"
#include "kelmar_vindle/job.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/write/disk_interface.hpp"

namespace kelmar_vindle::write {

// The image as it was handed over.
struct GivenImage {
  UniqueFd fd;  // a checked regular file (the decoder reads it with pread) or a stream
  bool stream = false;
  std::vector<std::byte> leading;  // a stream's first bytes, already read to learn its format
};

// Owns its threads, the decoder and every descriptor; destroying it stops
// the threads (a byte on a stop pipe that all their waits watch), kills and
// reaps the decoder and joins them, on every path. `next` and `settle` are
// called from one thread, the copy's.
class ImageStream final : public ChunkStream {
 public:
  // Starts what `given` needs: the decoder for a `format` other than `Raw`
  // (run as `who`, its limit `limit`, the disk's capacity), whose first
  // status line is read here (waiting for it watches `cancel`), and the
  // threads. `program` may be null for a plain stream. A stated decoded
  // length over `limit` fails here with `Io`, before any byte is written.
  // `progress` (borrowed for the stream's life) is told `waiting` while a
  // wait here, in `next` or in `settle` goes on.
  [[nodiscard]] static Result<std::unique_ptr<ImageStream>> start(GivenImage given, ImageFormat format,
                                                                  const WriteJob& job, std::uint64_t limit,
                                                                  const Client& who, const DecoderProgram* program,
                                                                  const std::atomic<bool>& cancel,
                                                                  const ProgressFn& progress);
  ~ImageStream() override;
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  // The decoded length the container states; none where it does not say
  // (and for a plain stream, none: its bytes are not counted in advance).
  std::optional<std::uint64_t> stated_size() const { return stated_size_; }

  // Waits for the next queued buffer, watching the cancellation flag
  // (`WriteCancelled` once it is set); fails with whatever stopped the
  // reader.
  [[nodiscard]] Result<std::span<const std::byte>> next(std::size_t length) override;
  // Takes whatever is still queued (any byte there is one past the disk's
  // end), then requires: the stream's length and digest as the job states,
  // the decoder's "done N" with N its own count, then the end of its status
  // and exit status 0, a decoded digest equal to a given
  // `expected_decoded_sha256`, and an image that is not empty.
  [[nodiscard]] Result<Settled> settle() override;

 private:
  ImageStream(const WriteJob& job, std::uint64_t limit, const std::atomic<bool>& cancel, const ProgressFn& progress);

  struct Tally;  // counts and hashes the given bytes of a stream

  [[nodiscard]] Result<void> start_decoder(GivenImage& given, ImageFormat format, const Client& who,
                                           const DecoderProgram& program);
  [[nodiscard]] Result<std::optional<std::string>> read_status_line();
  void feed(UniqueFd from, std::vector<std::byte> leading, UniqueFd into);
  void read_decoded(int from, std::vector<std::byte> leading, bool plain);
  [[nodiscard]] Result<std::size_t> fill(int from, std::span<std::byte> room, bool plain);
  [[nodiscard]] bool wait_for(int fd, short events) const;
  // Tells `progress_` that the copy is still waiting, with `lock` released.
  void beat(std::unique_lock<std::mutex>& lock) const;
  [[nodiscard]] Result<void> check_given(Tally& tally) const;
  void stop();

  const std::string expected_sha256_;
  const std::uint64_t expected_size_;
  const std::string expected_decoded_sha256_;
  const std::uint64_t limit_;
  const std::atomic<bool>& cancel_;
  const ProgressFn& progress_;
  std::optional<std::uint64_t> stated_size_;

  UniqueFd stop_read_;
  UniqueFd stop_write_;
  UniqueFd given_;  // the stream a plain stream's reader reads, or the file the decoder reads
  std::optional<DecoderProcess> decoder_;
  std::string status_buffer_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PageBuffer> filled_;      // decoded bytes waiting for the copy
  std::vector<PageBuffer> free_;       // buffers for the reader to fill
  std::optional<PageBuffer> current_;  // the buffer the copy holds
  std::optional<Error> reader_error_;
  bool reader_done_ = false;
  std::optional<Error> feeder_error_;
  bool feeder_done_ = true;  // no feeder until one starts
  bool stopping_ = false;

  // Written by the reader thread only, read after it is joined or done.
  std::unique_ptr<Tally> plain_tally_;  // a plain stream's given bytes
  std::unique_ptr<Tally> fed_tally_;    // a compressed stream's given bytes (the feeder's)
  checksum::Sha256 decoded_hash_;
  std::uint64_t decoded_ = 0;

  std::thread feeder_;
  std::thread reader_;
};

// "the decoded image is longer than the disk (more than N bytes)".
[[nodiscard]] std::string longer_than_disk(std::uint64_t limit);

}  // namespace kelmar_vindle::write
