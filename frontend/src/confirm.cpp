#include "confirm.hpp"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle::frontend {
namespace {

void say(std::string_view text) { [[maybe_unused]] const auto written = write_all(STDERR_FILENO, text); }

// Waits for a byte of input or a signal; true when input (or its end) came.
bool input_first(Interrupts& interrupts) {
  while (true) {
    std::array<pollfd, 2> fds{{{STDIN_FILENO, POLLIN, 0}, {interrupts.fd(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return true;  // the read then tells what is wrong
    }
    if (fds[1].revents != 0 && interrupts.take()) return false;
    if (fds[0].revents != 0) return true;
  }
}

}  // namespace

Answer ask_to_type(std::string_view question, std::string_view expected, Interrupts& interrupts) {
  say(question);
  // One byte at a time, so that nothing after the line is taken from the
  // input; a person types a line or two.
  std::string line;
  std::array<std::byte, 1> byte{};
  while (true) {
    if (!input_first(interrupts)) {
      say("\n");
      return Answer::Interrupted;
    }
    const auto got = read_some(STDIN_FILENO, byte);
    if (!got || *got == 0) {
      say("\n");
      return Answer::EndOfInput;
    }
    if (static_cast<char>(byte[0]) == '\n') break;
    line += static_cast<char>(byte[0]);
  }
  return text::trim_unicode_whitespace(line) == expected ? Answer::Confirmed : Answer::Refused;
}

}  // namespace kelmar_vindle::frontend
