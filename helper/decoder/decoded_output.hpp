// The decoded image on its way out through descriptor 1 (a pipe to the
// helper), gathered into 1 MiB writes, never longer than the limit.
//
// Codecs decode straight into `room()` and say how much they filled, so
// each decoded byte is copied once, by the write. Not thread-safe; owns the
// buffer, not the descriptor until `finish` closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "../src/text_result.hpp"

namespace kelmar_vindle::decoder {

using helper::TextResult;

class DecodedOutput {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  DecodedOutput(int fd, std::uint64_t limit);

  // The free part of the buffer, never empty.
  std::span<std::byte> room() { return std::span(buffer_.get(), kBufferSize).subspan(filled_); }
  // The first `count` bytes of `room()` hold decoded data. Fails, before
  // writing them, when they take the image past the limit; writes the
  // buffer once it is full.
  TextResult<void> produced(std::size_t count);
  // Writes what is left and closes the descriptor, so the helper sees the
  // end of the image before the `done` line.
  TextResult<void> finish();
  // Decoded bytes so far, written or not.
  std::uint64_t total() const { return written_ + filled_; }

 private:
  TextResult<void> write_buffer();

  int fd_;
  std::uint64_t limit_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t filled_ = 0;
  std::uint64_t written_ = 0;
};

// "the decoded image is longer than the disk (more than LIMIT bytes)"
std::string longer_than_disk(std::uint64_t limit);

}  // namespace kelmar_vindle::decoder
