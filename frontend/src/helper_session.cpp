#include "helper_session.hpp"

#include <poll.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "foreground.hpp"
#include "interrupts.hpp"

namespace kelmar_vindle::frontend {
namespace {

constexpr std::size_t kMaxErrorText = 65536;

// What the session has read and still needs to act on.
class Session {
 public:
  Session(HelperProcess process, TerminalLoan loan, ProgressDisplay& display)
      : process_(std::move(process)), loan_(std::move(loan)), display_(display) {}

  // Reads until both of the helper's outputs have ended.
  TextResult<SessionOutcome> run(Interrupts& interrupts) {
    while (process_.output() >= 0 || process_.errors() >= 0) {
      std::array<pollfd, 3> fds{
          {{process_.output(), POLLIN, 0}, {process_.errors(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(last_os_error("poll").text());
      }
      if (fds[2].revents != 0 && interrupts.take()) interrupt();
      if (fds[0].revents != 0) read_output();
      if (fds[1].revents != 0) read_errors();
    }
    loan_.take_back();
    outcome_.exit = process_.wait();
    return std::move(outcome_);
  }

 private:
  void interrupt() {
    loan_.take_back();
    if (outcome_.interrupted) {
      // Asked twice: the helper's own signal handling cancels the job too.
      // Best effort; a launcher running as root may not be signalled.
      ::kill(-process_.pid(), SIGTERM);
      return;
    }
    outcome_.interrupted = true;
    // What the helper sent before it could see the hang-up tells how far
    // the job had come.
    pollfd pending{process_.output(), POLLIN, 0};
    while (process_.output() >= 0 && ::poll(&pending, 1, 0) > 0 && pending.revents != 0) read_output();
    process_.hang_up();
  }

  // Appends what there is to `into`; false at the end of the stream.
  static bool read_into(int fd, std::string& into) {
    std::array<std::byte, 8192> buffer{};
    const auto got = read_some(fd, buffer);
    if (!got || *got == 0) return false;
    into.append(reinterpret_cast<const char*>(buffer.data()), *got);
    return true;
  }

  void read_output() {
    if (!read_into(process_.output(), pending_)) {
      process_.hang_up();
      return;
    }
    std::size_t end = 0;
    while ((end = pending_.find('\n')) != std::string::npos) {
      const std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      // The first line says the launcher is past its password prompt.
      loan_.take_back();
      on_line(line);
    }
  }

  void on_line(std::string_view line) {
    auto event = parse_event(line);
    if (!event) return;  // not a line of the protocol; the outcome tells without it
    if (const auto* progress = std::get_if<HelperEvent::Progress>(&event->value)) {
      outcome_.phase = progress->phase;
      display_.show(*progress);
    }
    if (auto* result = std::get_if<HelperEvent::Result>(&event->value)) outcome_.result = std::move(*result);
  }

  void read_errors() {
    std::string text;
    if (!read_into(process_.errors(), text)) {
      process_.close_errors();
      return;
    }
    const std::size_t room = kMaxErrorText - std::min(kMaxErrorText, outcome_.errors.size());
    outcome_.errors += text.substr(0, room);
  }

  HelperProcess process_;
  TerminalLoan loan_;
  ProgressDisplay& display_;
  std::string pending_;  // output after its last line feed
  SessionOutcome outcome_;
};

}  // namespace

TextResult<SessionOutcome> run_helper_session(const HelperInvocation& invocation, const std::string& request,
                                              ProgressDisplay& display, Interrupts& interrupts) {
  auto process = HelperProcess::start(invocation.argv, request + "\n");
  if (!process) return std::unexpected(process.error());
  TerminalLoan loan = invocation.through_launcher ? TerminalLoan::lend(process->pid()) : TerminalLoan();
  Session session(std::move(*process), std::move(loan), display);
  auto outcome = session.run(interrupts);
  display.finish();
  return outcome;
}

}  // namespace kelmar_vindle::frontend
