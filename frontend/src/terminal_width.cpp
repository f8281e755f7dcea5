#include "terminal_width.hpp"

#include <sys/ioctl.h>

namespace kelmar_vindle::frontend {
namespace {

// 1 until the width is measured, and again after each SIGWINCH.
volatile sig_atomic_t g_width_stale = 1;

extern "C" void on_resize(int /*signal*/) { g_width_stale = 1; }

}  // namespace

TerminalWidth::TerminalWidth(int fd) : fd_(fd) {
  g_width_stale = 1;
  struct sigaction action {};
  action.sa_handler = on_resize;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGWINCH, &action, &previous_);
}

TerminalWidth::~TerminalWidth() { ::sigaction(SIGWINCH, &previous_, nullptr); }

std::size_t TerminalWidth::columns() {
  if (g_width_stale != 0) {
    // Cleared first: a resize during the measure marks it stale again.
    g_width_stale = 0;
    winsize size{};
    columns_ = ::ioctl(fd_, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  }
  return columns_;
}

}  // namespace kelmar_vindle::frontend
