// The width of the terminal the progress line is drawn on, kept current
// when the window changes size.
#pragma once

#include <csignal>
#include <cstddef>

namespace kelmar_vindle::frontend {

// While it lives, SIGWINCH only marks the width as stale (a flag of its
// own, a `volatile sig_atomic_t`); `columns` measures the terminal on `fd`
// (TIOCGWINSZ) at the first call and again after each SIGWINCH. At most one
// at a time, on the main thread; destroying it restores the previous action.
class TerminalWidth {
 public:
  explicit TerminalWidth(int fd);
  TerminalWidth(const TerminalWidth&) = delete;
  TerminalWidth& operator=(const TerminalWidth&) = delete;
  ~TerminalWidth();

  // The terminal's columns; 0 when `fd` is no terminal or reports none.
  std::size_t columns();

 private:
  int fd_;
  std::size_t columns_ = 0;
  struct sigaction previous_ {};
};

}  // namespace kelmar_vindle::frontend
