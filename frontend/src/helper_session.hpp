// One write request carried through the helper, from its start to its end.
#pragma once

#include <optional>
#include <string>

#include "helper_command.hpp"
#include "helper_process.hpp"
#include "interrupts.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "progress_display.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct SessionOutcome {
  std::optional<HelperEvent::Result> result;  // none: the helper sent none
  bool interrupted = false;                   // Ctrl-C or SIGTERM stopped the job
  std::string phase;                          // the last phase the helper reported; empty: none
  ExitStatus exit;
  std::string errors;  // what it wrote on its standard error (the first 64 KiB)
};

// Starts `invocation` with `request` (one line) on its standard input and
// reads its events until its output ends, showing progress on `display`.
// A launcher that asks for a password has the terminal meanwhile, until its
// first line. A signal `interrupts` reports meanwhile closes the helper's
// output, which cancels its job, once the events already sent are read (so
// that `phase` is the helper's latest); a second one also sends SIGTERM to
// its process group.
// Always waits for the process to end; fails only when it cannot be
// started or watched.
[[nodiscard]] TextResult<SessionOutcome> run_helper_session(const HelperInvocation& invocation,
                                                            const std::string& request, ProgressDisplay& display,
                                                            Interrupts& interrupts);

}  // namespace kelmar_vindle::frontend
