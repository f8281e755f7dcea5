#include "foreground.hpp"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace kelmar_vindle::frontend {

TerminalLoan TerminalLoan::lend(pid_t group) {
  TerminalLoan loan;
  UniqueFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.valid() || ::tcgetpgrp(terminal.get()) != ::getpgrp()) return loan;
  if (::tcsetpgrp(terminal.get(), group) != 0) return loan;
  loan.terminal_ = std::move(terminal);
  // The group started before it had the terminal: one that already tried to
  // read it was stopped (SIGTTIN) and must go on now that it may. SIGCONT
  // reaches a launcher running as root too, within one session.
  ::kill(-group, SIGCONT);
  return loan;
}

TerminalLoan& TerminalLoan::operator=(TerminalLoan&& other) noexcept {
  if (this != &other) {
    take_back();
    terminal_ = std::move(other.terminal_);
  }
  return *this;
}

void TerminalLoan::take_back() {
  if (!terminal_.valid()) return;
  // A background group that sets the foreground is sent SIGTTOU, which
  // would stop the front end; blocked, the call simply succeeds.
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ::sigprocmask(SIG_BLOCK, &ttou, &previous);
  ::tcsetpgrp(terminal_.get(), ::getpgrp());
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  terminal_ = UniqueFd();
}

}  // namespace kelmar_vindle::frontend
