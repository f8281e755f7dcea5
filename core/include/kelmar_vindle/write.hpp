// Write backends: the interface the dispatcher writes through, the phases a
// backend reports, the image checks, and the file sink that stands in for a
// disk by writing images into an ordinary file named at start-up. The loop
// that copies, flushes and reads back is shared (write/disk_interface.hpp);
// the image is opened once per job (write/checked_image.hpp).
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/job.hpp"
#include "kelmar_vindle/page_buffer.hpp"

namespace kelmar_vindle {

enum class BackendKind : std::uint8_t {
  FileSink,
  // A real-disk writer whose use is not enabled; the dispatcher refuses every
  // write through it. No backend of this helper reports it.
  RealNotEnabled,
  MacosRaw,
  LinuxRaw,
};

// What a backend reports while it works, in this order; only `Writing` is
// reported more than once.
struct WritePhase {
  enum class Kind : std::uint8_t { CheckingImage, Writing, Written, Verifying, Verified, Cancelled };

  Kind kind = Kind::CheckingImage;
  std::uint64_t bytes_done = 0;  // `Writing` only
  std::uint64_t total = 0;       // `Writing` only

  static WritePhase of(Kind kind) { return {kind, 0, 0}; }
  static WritePhase writing(std::uint64_t bytes_done, std::uint64_t total) {
    return {Kind::Writing, bytes_done, total};
  }
  friend bool operator==(const WritePhase&, const WritePhase&) = default;
};

// What a backend reports while it works, borrowed for one call and invoked
// on the caller's thread. Every caller takes the phases above; a caller that
// also wants the running byte counts of the image check and of the read-back
// (which the phases leave out: `Writing` carries the copy's own) gives a
// second callable for them. Counts come about once per MiB hashed and once
// at the end, with `total` the bytes that step reads.
class ProgressFn {
 public:
  using Counts = std::function<void(WritePhase::Kind stage, std::uint64_t bytes_done, std::uint64_t total)>;

  ProgressFn() = default;
  template <class Phases>
  requires std::invocable<Phases&, const WritePhase&> &&
      (!std::same_as<std::decay_t<Phases>, ProgressFn>)ProgressFn(Phases phases)
      : phases_(std::move(phases)) {}  // NOLINT: a plain callable stands for the phases
  template <class Phases>
  ProgressFn(Phases phases, Counts counts) : phases_(std::move(phases)), counts_(std::move(counts)) {}
  template <class Phases>
  ProgressFn(Phases phases, Counts counts, std::function<void()> beat)
      : phases_(std::move(phases)), counts_(std::move(counts)), beat_(std::move(beat)) {}

  void operator()(const WritePhase& phase) const {
    if (phases_) phases_(phase);
  }
  // `stage` is `CheckingImage` or `Verifying`.
  void count(WritePhase::Kind stage, std::uint64_t bytes_done, std::uint64_t total) const {
    if (counts_) counts_(stage, bytes_done, total);
  }
  // Told about every 100 ms while a job waits for bytes from a stream
  // (which may stall for as long as its sender likes), so that the
  // transport can look at its client meanwhile and cancel for one that
  // went away; nothing else is reported then.
  void waiting() const {
    if (beat_) beat_();
  }

 private:
  std::function<void(const WritePhase&)> phases_;
  Counts counts_;
  std::function<void()> beat_;
};

class WriteBackend {
 public:
  virtual ~WriteBackend() = default;

  virtual BackendKind kind() const = 0;

  // The refusals the backend makes from the job alone, before it opens
  // anything: the dispatcher asks here before it asks anyone to authorize
  // the write, so that nobody approves a write that would be refused
  // anyway. `write_job` makes the same checks again. None by default.
  [[nodiscard]] virtual Result<void> admit(const WriteJob& /*job*/) const { return {}; }

  // Writes `image` for `job` and verifies it by reading it back; returns the
  // read-back digest. `cancel` is read (acquire) before every chunk.
  [[nodiscard]] virtual Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                                             const std::atomic<bool>& cancel,
                                                             ProgressFn& progress) const = 0;

  // Writes the job's image file: opened once as `image` says, checked against
  // the job's size and digest, streamed onto the target and read back.
  // Returns the read-back digest.
  [[nodiscard]] virtual Result<std::string> write_job(const WriteJob& job, const ImageAccess& image,
                                                      const std::atomic<bool>& cancel, ProgressFn& progress) const = 0;
  // The same for a client that is root.
  [[nodiscard]] Result<std::string> write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                              ProgressFn& progress) const {
    return write_job(job, Client::root(), cancel, progress);
  }

  // After `write_job` verified the job's target: makes it safe to pull (see
  // `write::DiskInterface::eject`). Fails with `Io` and a text saying why
  // not; a backend without disks to eject always does.
  [[nodiscard]] virtual Result<void> eject(const WriteJob& /*job*/) const {
    return std::unexpected(Error::io("this backend writes no disk it could eject"));
  }
};

// The file sink: owns its path and whose rights it is reached with, and
// holds no other state, so one instance serves any number of jobs one after
// another. The path is resolved with `opener`'s rights (the user who
// launched the helper; through a child process with only that user's
// rights when that is not root, see client_process.hpp), and a symbolic
// link in any of its components is refused. A sink that is the image file
// itself is refused before anything in it changes.
class MockFileBackend final : public WriteBackend {
 public:
  explicit MockFileBackend(std::filesystem::path sink_path, Client opener = Client::root())
      : sink_path_(std::move(sink_path)), opener_(std::move(opener)) {}

  const std::filesystem::path& sink_path() const { return sink_path_; }
  const Client& opener() const { return opener_; }

  BackendKind kind() const override { return BackendKind::FileSink; }

  // Creates missing parent directories, truncates the sink, writes the image
  // in 1 MiB chunks and reads the sink back through the hash: its length must
  // be the job's `expected_size` and its digest the job's `expected_sha256`.
  // After a failure the sink keeps whatever was written.
  [[nodiscard]] Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                                     const std::atomic<bool>& cancel,
                                                     ProgressFn& progress) const override;

  // Checks the image (nothing reported while checking) before the sink is
  // touched, then streams it from the checked descriptor as above: memory
  // stays one chunk whatever the image's size.
  using WriteBackend::write_job;
  [[nodiscard]] Result<std::string> write_job(const WriteJob& job, const ImageAccess& image,
                                              const std::atomic<bool>& cancel, ProgressFn& progress) const override;

 private:
  std::filesystem::path sink_path_;
  Client opener_;
};

namespace write {

inline constexpr std::size_t kChunkSize = 1048576;

// The image's length must be `expected_size` (checked first, from the
// metadata) and its digest `expected_sha256`: `SizeMismatch` or
// `ImageHashMismatch` otherwise.
[[nodiscard]] Result<void> check_image(const std::filesystem::path& path, std::string_view expected_sha256,
                                       std::uint64_t expected_size);

// `check_image`, then the checked bytes read into memory from the same
// descriptor, for callers that want the image whole (`write_and_verify`).
[[nodiscard]] Result<PageBuffer> load_and_check_image(const std::filesystem::path& path,
                                                      std::string_view expected_sha256, std::uint64_t expected_size);

}  // namespace write
}  // namespace kelmar_vindle
