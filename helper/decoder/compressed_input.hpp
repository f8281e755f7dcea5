// The compressed image on descriptor 0: a regular file or a pipe.
//
// A regular file's open file description is shared with the client, who may
// move its offset at any time, so a file is read only with pread at offsets
// this object counts itself, from 0; a pipe is read in order. Not thread-safe;
// owns nothing (descriptor 0 belongs to the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../src/text_result.hpp"

namespace kelmar_vindle::decoder {

using helper::TextResult;

class CompressedInput {
 public:
  // Looks at what `fd` is (fstat).
  static TextResult<CompressedInput> from_descriptor(int fd);

  // A regular file, which `read_at` may read anywhere.
  bool positional() const { return positional_; }
  // A regular file's length when the decoder started (the file may change
  // later: the end of its data, not this, ends reading).
  std::uint64_t file_size() const { return file_size_; }

  // The next bytes in order into `buffer`: how many (0 at the end), reading
  // again after an interruption.
  TextResult<std::size_t> read(std::span<std::byte> buffer);
  // Bytes at `offset` of a regular file, without moving the position `read`
  // goes on from.
  TextResult<std::size_t> read_at(std::uint64_t offset, std::span<std::byte> buffer) const;
  // Fills `buffer` from `offset`; data that ends first is "the compressed
  // data ends early".
  TextResult<void> read_exactly_at(std::uint64_t offset, std::span<std::byte> buffer) const;

 private:
  CompressedInput(int fd, bool positional, std::uint64_t file_size)
      : fd_(fd), positional_(positional), file_size_(file_size) {}

  int fd_;
  bool positional_;
  std::uint64_t file_size_;
  std::uint64_t position_ = 0;  // where `read` goes on, for a file
};

// The sentence of a read that ends before the data does.
inline constexpr const char* kEndsEarly = "the compressed data ends early";

}  // namespace kelmar_vindle::decoder
