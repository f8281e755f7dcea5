// One write request carried through the helper, from its start to its end:
// the session reads the helper's events from a transport, which is either a
// helper process started for the write (directly, or through pkexec or
// sudo) or a connection to the installed service (service_connection.hpp).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foreground.hpp"
#include "helper_command.hpp"
#include "interrupts.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "progress_display.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct SessionOutcome {
  std::optional<HelperEvent::Result> result;  // none: the helper sent none
  bool interrupted = false;                   // Ctrl-C or SIGTERM stopped the job
  std::string phase;                          // the last phase the helper reported; empty: none
  std::string unanswered;                     // without a result: who ended without an answer, and why
};

// Where a session's helper is, once the request has gone to it: its events
// as lines on one stream, and (for a process) what it says on another.
// Owned by the caller; main thread only.
class SessionTransport {
 public:
  virtual ~SessionTransport() = default;

  // The stream of event lines, and of other text; -1 once closed or absent.
  virtual int events() const = 0;
  virtual int errors() const = 0;
  // Closes the events' stream: the sign that the client went away, which
  // cancels the job.
  virtual void hang_up() = 0;
  virtual void close_errors() = 0;
  // Asked to stop a second time, after `hang_up`: whatever more the
  // transport can do (signal the process), or nothing.
  virtual void insist() = 0;
  // Once both streams are closed and no result came: waits for the helper
  // to end where it can, and says who ended without an answer and why,
  // given what it wrote on its other stream.
  virtual std::string unanswered(std::string_view errors) = 0;
};

// Whatever else feeds the job and has to stop with it when a signal
// cancels it (the download of a streamed image: a helper waiting for the
// stream's next bytes sees the cancellation only once they end); empty:
// nothing.
using StopFeed = std::function<void()>;

// Reads `transport`'s events until both its streams have ended, showing
// progress on `display`. `loan` (the terminal lent to a launcher that asks
// for a password) is taken back at the first line. A signal `interrupts`
// reports meanwhile hangs the transport up, which cancels its job, once the
// events already sent are read (so that `phase` is the helper's latest), and
// then stops `feed`; a second one makes it insist. Fails only when the
// streams cannot be watched.
[[nodiscard]] TextResult<SessionOutcome> run_session(SessionTransport& transport, TerminalLoan loan,
                                                     ProgressDisplay& display, Interrupts& interrupts,
                                                     const StopFeed& feed = {});

// Starts `invocation` with `request` (one line) on its standard input and
// runs the session with it; a launcher that asks for a password has the
// terminal meanwhile, until its first line. With a valid `stream` (the read
// end of a pipe the image flows through), the request carries it (see
// `HelperProcess::start`), and it is closed here once sent, so that the
// helper holds the only read end, and `feed` stops with the job as in
// `run_session`. The second interrupt sends SIGTERM to its process group. Always waits for the process to end; fails
// only when it cannot be started or watched.
[[nodiscard]] TextResult<SessionOutcome> run_helper_session(const HelperInvocation& invocation,
                                                            const std::string& request, UniqueFd stream,
                                                            ProgressDisplay& display, Interrupts& interrupts,
                                                            const StopFeed& feed = {});

}  // namespace kelmar_vindle::frontend
