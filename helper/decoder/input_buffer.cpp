#include "input_buffer.hpp"

#include <algorithm>
#include <string>

namespace kelmar_vindle::decoder {

TextResult<void> InputBuffer::refill() {
  if (start_ < end_ || ended_) return {};
  auto count = input_.read(std::span(buffer_.get(), kBufferSize));
  if (!count) return std::unexpected(count.error());
  start_ = 0;
  end_ = *count;
  ended_ = *count == 0;
  return {};
}

TextResult<bool> InputBuffer::another_member(std::byte magic, std::string_view format) {
  if (auto filled = refill(); !filled) return std::unexpected(filled.error());
  if (ended()) return false;
  if (pending().front() == magic) return true;
  while (!ended()) {
    if (!std::ranges::all_of(pending(), [](std::byte b) { return b == std::byte{0}; })) {
      return std::unexpected("the " + std::string(format) + " data is followed by bytes that are not " +
                             std::string(format) + " data");
    }
    consume(pending().size());
    if (auto filled = refill(); !filled) return std::unexpected(filled.error());
  }
  return false;
}

}  // namespace kelmar_vindle::decoder
