// The compressed input read in 1 MiB steps, for codecs that consume a buffer
// at their own pace. Not thread-safe; reads through a `CompressedInput` it
// borrows.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "compressed_input.hpp"

namespace kelmar_vindle::decoder {

class InputBuffer {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  explicit InputBuffer(CompressedInput& input)
      : input_(input), buffer_(std::make_unique_for_overwrite<std::byte[]>(kBufferSize)) {}

  // Bytes read and not yet consumed.
  std::span<const std::byte> pending() const { return std::span(buffer_.get(), end_).subspan(start_); }
  void consume(std::size_t count) { start_ += count; }
  // Reads more once everything pending was consumed; afterwards nothing
  // pending means the data has ended.
  TextResult<void> refill();
  // Whether the data has ended with nothing pending.
  bool ended() const { return ended_ && start_ == end_; }

  // After a complete member of a format whose files may hold several in a
  // row (gzip, bzip2): true when another one follows (its first byte is
  // `magic`); false at the end of the data, after skipping zeros that pad
  // it (as gzip -dc does); a failure naming `format` for anything else.
  TextResult<bool> another_member(std::byte magic, std::string_view format);

 private:
  CompressedInput& input_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
};

}  // namespace kelmar_vindle::decoder
