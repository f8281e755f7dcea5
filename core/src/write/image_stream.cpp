#include "kelmar_vindle/write/image_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kelmar_vindle/spawn.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::write {
namespace {

constexpr std::size_t kQueuedBuffers = 4;
// How often a wait looks at the cancellation flag.
constexpr int kWatchMillis = 100;
constexpr auto kWatchPeriod = std::chrono::milliseconds(kWatchMillis);
constexpr auto kExitPoll = std::chrono::milliseconds(2);

Error decoding_failed(std::string_view text) { return Error::io("decoding the image failed: " + std::string(text)); }

Error cancelled() { return Error::make<ErrorKind::WriteCancelled>(); }

// A write into a pipe whose reader is gone fails with EPIPE instead of
// ending the process: SIGPIPE, which that write directs at its own thread,
// stays blocked and pending there and is dropped when the thread ends.
void block_broken_pipe_signal() {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);  // macros on macOS: no scope prefix
  sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
}

}  // namespace

std::string longer_than_disk(std::uint64_t limit) {
  return "the decoded image is longer than the disk (more than " + std::to_string(limit) + " bytes)";
}

struct ImageStream::Tally {
  checksum::Sha256 hash;
  std::uint64_t count = 0;
};

ImageStream::ImageStream(const WriteJob& job, std::uint64_t limit, const std::atomic<bool>& cancel,
                         const ProgressFn& progress)
    : expected_sha256_(job.expected_sha256),
      expected_size_(job.expected_size),
      expected_decoded_sha256_(job.expected_decoded_sha256),
      limit_(limit),
      cancel_(cancel),
      progress_(progress) {}

ImageStream::~ImageStream() { stop(); }

void ImageStream::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (stop_write_.valid()) {
    const char byte = 0;
    (void)::write(stop_write_.get(), &byte, 1);
  }
  // Its pipes end with it, which ends any wait on them as well.
  if (decoder_) decoder_->stop();
  if (feeder_.joinable()) feeder_.join();
  if (reader_.joinable()) reader_.join();
}

Result<std::unique_ptr<ImageStream>> ImageStream::start(GivenImage given, ImageFormat format, const WriteJob& job,
                                                        std::uint64_t limit, const Client& who,
                                                        const DecoderProgram* program, const std::atomic<bool>& cancel,
                                                        const ProgressFn& progress) {
  std::unique_ptr<ImageStream> stream(new ImageStream(job, limit, cancel, progress));
  auto stop = spawn::make_pipe();
  if (!stop) return std::unexpected(stop.error());
  stream->stop_read_ = std::move(stop->read);
  stream->stop_write_ = std::move(stop->write);
  for (std::size_t i = 0; i < kQueuedBuffers; ++i) {
    auto buffer = PageBuffer::allocate(kChunkSize);
    if (!buffer) return std::unexpected(buffer.error());
    stream->free_.push_back(std::move(*buffer));
  }
  if (format == ImageFormat::Raw) {
    if (!given.stream) return std::unexpected(Error::io("a plain image file is copied, not streamed"));
    stream->plain_tally_ = std::make_unique<Tally>();
    stream->given_ = std::move(given.fd);
    stream->reader_ =
        std::thread(&ImageStream::read_decoded, stream.get(), stream->given_.get(), std::move(given.leading), true);
    return stream;
  }
  if (program == nullptr) return std::unexpected(Error::io("no decoder program for a compressed image"));
  if (auto started = stream->start_decoder(given, format, who, *program); !started) {
    return std::unexpected(started.error());
  }
  return stream;
}

Result<void> ImageStream::start_decoder(GivenImage& given, ImageFormat format, const Client& who,
                                        const DecoderProgram& program) {
  if (given.stream) {
    auto input = spawn::make_pipe();
    if (!input) return std::unexpected(input.error());
    const int flags = ::fcntl(input->write.get(), F_GETFL);
    if (flags < 0 || ::fcntl(input->write.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
      return std::unexpected(last_os_error());
    }
    auto decoder = DecoderProcess::start(program, who, format, limit_, input->read.get());
    if (!decoder) return std::unexpected(decoder.error());
    decoder_.emplace(std::move(*decoder));
    input->read = UniqueFd();
    fed_tally_ = std::make_unique<Tally>();
    feeder_done_ = false;
    feeder_ =
        std::thread(&ImageStream::feed, this, std::move(given.fd), std::move(given.leading), std::move(input->write));
  } else {
    given_ = std::move(given.fd);
    auto decoder = DecoderProcess::start(program, who, format, limit_, given_.get());
    if (!decoder) return std::unexpected(decoder.error());
    decoder_.emplace(std::move(*decoder));
  }

  // The decoder says what it knows of the length before its first byte.
  auto first = read_status_line();
  if (!first) return std::unexpected(first.error());
  if (!*first) return std::unexpected(decoding_failed("the decoder ended without a word"));
  auto line = parse_status_line(**first);
  if (!line) return std::unexpected(line.error());
  switch (line->kind) {
    case StatusLine::Kind::Size:
      if (line->bytes > limit_) return std::unexpected(Error::io(longer_than_disk(limit_)));
      stated_size_ = line->bytes;
      break;
    case StatusLine::Kind::SizeUnknown: break;
    case StatusLine::Kind::Error: return std::unexpected(decoding_failed(line->text));
    case StatusLine::Kind::Done:
      return std::unexpected(decoding_failed("the decoder said it was done before saying the image's size"));
  }
  reader_ = std::thread(&ImageStream::read_decoded, this, decoder_->output(), std::vector<std::byte>(), false);
  return {};
}

bool ImageStream::wait_for(int fd, short events) const {
  pollfd watched[2] = {{fd, events, 0}, {stop_read_.get(), POLLIN, 0}};
  while (true) {
    const int ready = ::poll(watched, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return true;  // the read or write that follows reports it
    return watched[1].revents == 0;
  }
}

Result<std::optional<std::string>> ImageStream::read_status_line() {
  const int status = decoder_->status();
  while (true) {
    if (const auto end = status_buffer_.find('\n'); end != std::string::npos) {
      std::string line = status_buffer_.substr(0, end);
      status_buffer_.erase(0, end + 1);
      return line;
    }
    if (status_buffer_.size() >= kMaxStatusLine) {
      return std::unexpected(Error::io("the decoder's status line is not understood"));
    }
    if (cancel_.load(std::memory_order_acquire)) return std::unexpected(cancelled());
    pollfd watched{status, POLLIN, 0};
    const int ready = ::poll(&watched, 1, kWatchMillis);
    if (ready < 0 && errno != EINTR) return std::unexpected(last_os_error());
    if (ready <= 0) {
      progress_.waiting();
      continue;
    }
    char room[kMaxStatusLine];
    const auto got = read_some(status, std::as_writable_bytes(std::span(room, kMaxStatusLine - status_buffer_.size())));
    if (!got) return std::unexpected(got.error());
    if (*got == 0) {
      if (!status_buffer_.empty()) return std::unexpected(Error::io("the decoder's status line is not understood"));
      return std::optional<std::string>();
    }
    status_buffer_.append(room, *got);
  }
}

// One read of a descriptor a poll found ready: the count (0 at its end),
// or the failure; a descriptor another holder emptied first reads as
// nothing yet (-1 with `again`).
Result<std::size_t> read_ready(int fd, std::span<std::byte> room, bool& again) {
  while (true) {
    const ssize_t got = ::read(fd, room.data(), room.size());
    again = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    if (again) return 0;
    return std::unexpected(last_os_error());
  }
}

void ImageStream::feed(UniqueFd from, std::vector<std::byte> leading, UniqueFd into) {
  block_broken_pipe_signal();
  const auto finish = [&](std::optional<Error> error) {
    into = UniqueFd();  // the decoder sees the end of its input
    {
      const std::lock_guard lock(mutex_);
      feeder_error_ = std::move(error);
      feeder_done_ = true;
    }
    changed_.notify_all();
  };
  std::vector<std::byte> room(kChunkSize);
  std::span<const std::byte> pending(leading);
  while (true) {
    if (pending.empty()) {
      if (!wait_for(from.get(), POLLIN)) return finish(cancelled());
      bool again = false;
      const auto got = read_ready(from.get(), room, again);
      if (!got) return finish(got.error());
      if (again) continue;
      if (*got == 0) break;
      pending = std::span<const std::byte>(room).first(*got);
    }
    fed_tally_->count += pending.size();
    if (fed_tally_->count > expected_size_) {
      return finish(Error::make<ErrorKind::SizeMismatch>(expected_size_, fed_tally_->count));
    }
    fed_tally_->hash.update(pending);
    while (!pending.empty()) {
      if (!wait_for(into.get(), POLLOUT)) return finish(cancelled());
      const ssize_t put = ::write(into.get(), pending.data(), pending.size());
      if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // The decoder stopped reading: its own status says why.
      if (put < 0) return finish(std::nullopt);
      pending = pending.subspan(static_cast<std::size_t>(put));
    }
  }
  auto verdict = check_given(*fed_tally_);
  finish(verdict ? std::nullopt : std::optional<Error>(std::move(verdict.error())));
}

Result<void> ImageStream::check_given(Tally& tally) const {
  if (tally.count != expected_size_) {
    return std::unexpected(Error::make<ErrorKind::SizeMismatch>(expected_size_, tally.count));
  }
  auto digest = tally.hash.finalize();
  if (digest != expected_sha256_) {
    return std::unexpected(Error::make<ErrorKind::ImageHashMismatch>(expected_sha256_, std::move(digest)));
  }
  return {};
}

Result<std::size_t> ImageStream::fill(int from, std::span<std::byte> room, bool plain) {
  std::size_t filled = 0;
  while (filled < room.size()) {
    if (!wait_for(from, POLLIN)) return std::unexpected(cancelled());
    bool again = false;
    const auto got = read_ready(from, room.subspan(filled), again);
    if (!got) return std::unexpected(got.error());
    if (again) continue;
    if (*got == 0) break;
    const auto bytes = std::span<const std::byte>(room.subspan(filled, *got));
    if (plain) {
      plain_tally_->count += *got;
      if (plain_tally_->count > expected_size_) {
        return std::unexpected(Error::make<ErrorKind::SizeMismatch>(expected_size_, plain_tally_->count));
      }
      plain_tally_->hash.update(bytes);
    }
    decoded_ += *got;
    if (decoded_ > limit_) {
      return std::unexpected(plain ? Error::io(longer_than_disk(limit_)) : decoding_failed(longer_than_disk(limit_)));
    }
    decoded_hash_.update(bytes);
    filled += *got;
  }
  return filled;
}

void ImageStream::read_decoded(int from, std::vector<std::byte> leading, bool plain) {
  const auto finish = [&](std::optional<Error> error) {
    {
      const std::lock_guard lock(mutex_);
      reader_error_ = std::move(error);
      reader_done_ = true;
    }
    changed_.notify_all();
  };
  bool first = true;
  while (true) {
    std::optional<PageBuffer> buffer;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !free_.empty(); });
      if (stopping_) return;
      buffer = std::move(free_.back());
      free_.pop_back();
    }
    auto room = buffer->room().first(kChunkSize);
    std::size_t held = 0;
    if (first) {
      // A stream's first bytes, read to learn its format, lead its image.
      held = leading.size();
      // No leading bytes (a file the decoder reads itself): nothing to copy,
      // and memcpy may not be given their null pointer even for none.
      if (held != 0) std::memcpy(room.data(), leading.data(), held);
      if (plain) {
        plain_tally_->count += held;
        plain_tally_->hash.update(std::span<const std::byte>(leading));
      }
      decoded_ += held;
      decoded_hash_.update(std::span<const std::byte>(leading));
      first = false;
    }
    const auto got = fill(from, room.subspan(held), plain);
    if (!got) return finish(got.error());
    buffer->set_size(held + *got);
    const bool ended = held + *got < room.size();
    {
      const std::lock_guard lock(mutex_);
      if (buffer->size() > 0) {
        filled_.push_back(std::move(*buffer));
      } else {
        free_.push_back(std::move(*buffer));
      }
    }
    changed_.notify_all();
    if (ended) return finish(std::nullopt);
  }
}

void ImageStream::beat(std::unique_lock<std::mutex>& lock) const {
  // Not under the lock: the transport's look at its client may take a while.
  lock.unlock();
  progress_.waiting();
  lock.lock();
}

Result<std::span<const std::byte>> ImageStream::next(std::size_t length) {
  std::unique_lock lock(mutex_);
  if (current_) {
    free_.push_back(std::move(*current_));
    current_.reset();
    changed_.notify_all();
  }
  while (filled_.empty() && !reader_done_) {
    if (cancel_.load(std::memory_order_acquire)) return std::unexpected(cancelled());
    if (changed_.wait_for(lock, kWatchPeriod) == std::cv_status::timeout) beat(lock);
  }
  if (filled_.empty()) {
    if (reader_error_) return std::unexpected(*reader_error_);
    return std::span<const std::byte>();
  }
  current_ = std::move(filled_.front());
  filled_.pop_front();
  // Buffers are whole chunks but for the last; more than asked for can
  // only be bytes past the disk's end.
  if (current_->size() > length) return std::unexpected(decoding_failed(longer_than_disk(limit_)));
  return current_->bytes();
}

Result<ImageStream::Settled> ImageStream::settle() {
  // What the copy left is past the disk's end.
  while (true) {
    auto rest = next(kChunkSize);
    if (!rest) return std::unexpected(rest.error());
    if (rest->empty()) break;
    return std::unexpected(decoding_failed(longer_than_disk(limit_)));
  }
  if (reader_.joinable()) reader_.join();
  {
    std::unique_lock lock(mutex_);
    while (!feeder_done_) {
      if (cancel_.load(std::memory_order_acquire)) return std::unexpected(cancelled());
      if (changed_.wait_for(lock, kWatchPeriod) == std::cv_status::timeout) beat(lock);
    }
    if (feeder_error_) return std::unexpected(*feeder_error_);
  }
  if (feeder_.joinable()) feeder_.join();
  if (plain_tally_) {
    if (auto given = check_given(*plain_tally_); !given) return std::unexpected(given.error());
  }
  if (decoder_) {
    auto last = read_status_line();
    if (!last) return std::unexpected(last.error());
    if (!*last) return std::unexpected(decoding_failed("the decoder ended without finishing"));
    auto line = parse_status_line(**last);
    if (!line) return std::unexpected(line.error());
    if (line->kind == StatusLine::Kind::Error) return std::unexpected(decoding_failed(line->text));
    if (line->kind != StatusLine::Kind::Done || line->bytes != decoded_) {
      return std::unexpected(decoding_failed("the decoder's count differs from the bytes it wrote"));
    }
    auto after = read_status_line();
    if (!after) return std::unexpected(after.error());
    if (*after) return std::unexpected(Error::io("the decoder's status line is not understood"));
    // Its status ended, so its end is near; a decoder that lingers is
    // still waited for only as long as the job is not cancelled.
    std::optional<bool> clean;
    while (!(clean = decoder_->exit_if_ended())) {
      if (cancel_.load(std::memory_order_acquire)) return std::unexpected(cancelled());
      std::this_thread::sleep_for(kExitPoll);
    }
    if (!*clean) return std::unexpected(decoding_failed("the decoder did not end cleanly"));
    if (stated_size_ && *stated_size_ != decoded_) {
      return std::unexpected(
          decoding_failed("the decoded image's length differs from the length its container states"));
    }
  }
  if (decoded_ == 0) return std::unexpected(Error::io("the image is empty"));
  auto digest = decoded_hash_.finalize();
  if (!expected_decoded_sha256_.empty() && digest != expected_decoded_sha256_) {
    return std::unexpected(Error::make<ErrorKind::ImageHashMismatch>(expected_decoded_sha256_, std::move(digest)));
  }
  return Settled{std::move(digest), decoded_};
}

}  // namespace kelmar_vindle::write
