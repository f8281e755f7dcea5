// The status lines the helper reads from descriptor 3: "size N" or
// "size unknown" before any decoded byte, then "error TEXT" or "done N".
// Each is one line of printable ASCII, at most 4096 bytes with its line feed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../src/text_result.hpp"

namespace kelmar_vindle::decoder {

using helper::TextResult;

class StatusChannel {
 public:
  explicit StatusChannel(int fd) : fd_(fd) {}

  TextResult<void> size(std::optional<std::uint64_t> stated);
  // `text` may carry names from the archive: bytes that are not printable
  // ASCII become '?', and a text too long for a line is cut short.
  TextResult<void> error(std::string_view text);
  TextResult<void> done(std::uint64_t decoded);

 private:
  TextResult<void> line(std::string_view text);

  int fd_;
};

inline constexpr std::size_t kMaxStatusLine = 4096;

}  // namespace kelmar_vindle::decoder
