// Lending the terminal to a privilege launcher while it asks for a password.
#pragma once

#include <sys/types.h>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::frontend {

// The helper runs in a process group of its own, so that Ctrl-C reaches only
// the front end; but pkexec or sudo in front of it reads the password from
// the terminal, which a background group may not read. A loan makes that
// group the terminal's foreground until `take_back` (at the latest, the
// destructor), so the password prompt and a Ctrl-C at it belong to the
// launcher; a launcher stopped for reading the terminal before the loan is
// continued. Does nothing when the front end has no controlling terminal or
// is not in its foreground. Main thread only.
class TerminalLoan {
 public:
  TerminalLoan() = default;
  // Lends the terminal to the process group `group`.
  static TerminalLoan lend(pid_t group);
  TerminalLoan(TerminalLoan&&) noexcept = default;
  TerminalLoan& operator=(TerminalLoan&&) noexcept;
  TerminalLoan(const TerminalLoan&) = delete;
  TerminalLoan& operator=(const TerminalLoan&) = delete;
  ~TerminalLoan() { take_back(); }

  // Makes the front end's group the foreground again; idempotent.
  void take_back();

 private:
  UniqueFd terminal_;  // open only while lent
};

}  // namespace kelmar_vindle::frontend
