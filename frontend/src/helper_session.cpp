#include "helper_session.hpp"

#include <poll.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "helper_process.hpp"
#include "interrupts.hpp"
#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle::frontend {
namespace {

constexpr std::size_t kMaxErrorText = 65536;

// What the session has read and still needs to act on.
class Session {
 public:
  Session(SessionTransport& transport, TerminalLoan loan, ProgressDisplay& display, const StopFeed& feed)
      : transport_(transport), loan_(std::move(loan)), display_(display), feed_(feed) {}

  // Reads until both of the transport's streams have ended.
  TextResult<SessionOutcome> run(Interrupts& interrupts) {
    while (transport_.events() >= 0 || transport_.errors() >= 0) {
      std::array<pollfd, 3> fds{
          {{transport_.events(), POLLIN, 0}, {transport_.errors(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(last_os_error("poll").text());
      }
      if (fds[2].revents != 0 && interrupts.take()) interrupt();
      if (fds[0].revents != 0) read_output();
      if (fds[1].revents != 0) read_errors();
    }
    loan_.take_back();
    if (!outcome_.result) outcome_.unanswered = transport_.unanswered(text::trim_unicode_whitespace(errors_));
    return std::move(outcome_);
  }

 private:
  void interrupt() {
    loan_.take_back();
    if (outcome_.interrupted) {
      transport_.insist();
      return;
    }
    outcome_.interrupted = true;
    // What the helper sent before it could see the hang-up tells how far
    // the job had come.
    pollfd pending{transport_.events(), POLLIN, 0};
    while (transport_.events() >= 0 && ::poll(&pending, 1, 0) > 0 && pending.revents != 0) read_output();
    transport_.hang_up();
    if (feed_) feed_();
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
    if (!read_into(transport_.events(), pending_)) {
      transport_.hang_up();
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
    if (!read_into(transport_.errors(), text)) {
      transport_.close_errors();
      return;
    }
    const std::size_t room = kMaxErrorText - std::min(kMaxErrorText, errors_.size());
    errors_ += text.substr(0, room);
  }

  SessionTransport& transport_;
  TerminalLoan loan_;
  ProgressDisplay& display_;
  const StopFeed& feed_;
  std::string pending_;  // output after its last line feed
  std::string errors_;   // what it wrote on its standard error (the first 64 KiB)
  SessionOutcome outcome_;
};

// The helper as a process of the front end's: its standard output and
// error, and its exit status.
class ProcessTransport final : public SessionTransport {
 public:
  explicit ProcessTransport(HelperProcess process) : process_(std::move(process)) {}

  int events() const override { return process_.output(); }
  int errors() const override { return process_.errors(); }
  void hang_up() override { process_.hang_up(); }
  void close_errors() override { process_.close_errors(); }
  // Best effort; a launcher running as root may not be signalled.
  void insist() override { ::kill(-process_.pid(), SIGTERM); }

  std::string unanswered(std::string_view errors) override {
    const ExitStatus exit = process_.wait();
    std::string why(errors);
    if (why.empty()) {
      why = exit.exited ? "status " + std::to_string(exit.code) : "signal " + std::to_string(exit.signal);
    }
    return "the helper ended without an answer: " + why;
  }

 private:
  HelperProcess process_;
};

}  // namespace

TextResult<SessionOutcome> run_session(SessionTransport& transport, TerminalLoan loan, ProgressDisplay& display,
                                       Interrupts& interrupts, const StopFeed& feed) {
  Session session(transport, std::move(loan), display, feed);
  auto outcome = session.run(interrupts);
  display.finish();
  return outcome;
}

TextResult<SessionOutcome> run_helper_session(const HelperInvocation& invocation, const std::string& request,
                                              UniqueFd stream, ProgressDisplay& display, Interrupts& interrupts,
                                              const StopFeed& feed) {
  auto process = HelperProcess::start(invocation.argv, request + "\n", stream.valid() ? stream.get() : -1);
  stream = UniqueFd();
  if (!process) return std::unexpected(process.error());
  TerminalLoan loan = invocation.through_launcher ? TerminalLoan::lend(process->pid()) : TerminalLoan();
  ProcessTransport transport(std::move(*process));
  return run_session(transport, std::move(loan), display, interrupts, feed);
}

}  // namespace kelmar_vindle::frontend
