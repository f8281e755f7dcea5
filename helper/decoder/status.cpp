#include "status.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kelmar_vindle::decoder {

TextResult<void> StatusChannel::size(std::optional<std::uint64_t> stated) {
  return line(stated ? "size " + std::to_string(*stated) : std::string("size unknown"));
}

TextResult<void> StatusChannel::error(std::string_view text) {
  std::string printable = "error ";
  const std::size_t room = kMaxStatusLine - 1 - printable.size();
  for (const char c : text.substr(0, room)) {
    const auto byte = static_cast<unsigned char>(c);
    printable += byte >= 0x20 && byte < 0x7f ? c : '?';
  }
  return line(printable);
}

TextResult<void> StatusChannel::done(std::uint64_t decoded) { return line("done " + std::to_string(decoded)); }

TextResult<void> StatusChannel::line(std::string_view text) {
  std::string whole(text);
  whole += '\n';
  std::string_view rest = whole;
  while (!rest.empty()) {
    const ssize_t count = ::write(fd_, rest.data(), rest.size());
    if (count > 0) {
      rest.remove_prefix(static_cast<std::size_t>(count));
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return std::unexpected(std::string("writing a status line failed: ") + std::strerror(count < 0 ? errno : EIO));
    }
  }
  return {};
}

}  // namespace kelmar_vindle::decoder
