#include "confirm.hpp"

#include <unistd.h>

#include <array>
#include <string>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle::frontend {

bool confirmed_by_typing(std::string_view question, std::string_view expected) {
  [[maybe_unused]] const auto asked = write_all(STDERR_FILENO, question);
  // One byte at a time, so that nothing after the line is taken from the
  // input; a person types a line or two.
  std::string line;
  std::array<std::byte, 1> byte{};
  while (true) {
    const auto got = read_some(STDIN_FILENO, byte);
    if (!got || *got == 0) return false;
    if (static_cast<char>(byte[0]) == '\n') break;
    line += static_cast<char>(byte[0]);
  }
  return text::trim_unicode_whitespace(line) == expected;
}

}  // namespace kelmar_vindle::frontend
