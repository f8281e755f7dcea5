// A stream client going away, as XNU's poll reports it (the simulated poll
// of platform_sim): the standard-input mode runs in a child whose standard
// output is one end of a socket pair; this test is its client on the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "devices.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "line_transports.hpp"

namespace kelmar_vindle::helper {
namespace {

// A backend whose job tells the test it runs, waits until the test has
// done to the connection what it meant to, reports once more (where the
// transport looks for its client) and tells whether that cancelled it.
class WatchedJob final : public WriteBackend {
 public:
  WatchedJob(int started, int go_on, int outcome) : started_(started), go_on_(go_on), outcome_(outcome) {}
  BackendKind kind() const override { return BackendKind::FileSink; }
  Result<std::string> write_and_verify(const WriteJob&, std::span<const std::byte>, const std::atomic<bool>&,
                                       ProgressFn&) const override {
    return std::unexpected(Error::io("not used"));
  }
  using WriteBackend::write_job;
  Result<std::string> write_job(const WriteJob& job, const ImageAccess&, const std::atomic<bool>& cancel,
                                ProgressFn& progress) const override {
    static_cast<void>(write_all(started_, "s"));
    std::byte go{};
    static_cast<void>(read_exactly(go_on_, std::span(&go, 1)));
    progress(WritePhase::writing(1, 2));
    const bool cancelled = cancel.load(std::memory_order_acquire);
    static_cast<void>(write_all(outcome_, cancelled ? "c" : "n"));
    if (cancelled) return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    return job.expected_sha256;
  }

 private:
  int started_;
  int go_on_;
  int outcome_;
};

struct Pipe {
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) read_end = UniqueFd(ends[0]), write_end = UniqueFd(ends[1]);
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

// Whether the job saw its client go after the client did `leave` to its
// end of the connection (the helper's standard output; the request comes
// through a pipe on its standard input); nullopt when the run itself failed.
std::optional<bool> job_cancelled_after(const std::function<void(int)>& leave) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
  UniqueFd client(pair[0]);
  UniqueFd helper_end(pair[1]);
  Pipe request;
  Pipe started;
  Pipe go_on;
  Pipe outcome;
  const DeviceCandidate stick = testing::usb_stick("SER-1");
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::signal(SIGPIPE, SIG_IGN);  // as the helper's process does
    if (::dup2(request.read_end.get(), STDIN_FILENO) < 0 || ::dup2(helper_end.get(), STDOUT_FILENO) < 0) ::_exit(3);
    const MockEnumerator live{{stick}};
    const WatchedJob backend(started.write_end.get(), go_on.read_end.get(), outcome.write_end.get());
    ::_exit(run_stdin_mode(Serving{live, backend}) ? 0 : 1);
  }
  helper_end = UniqueFd();
  request.read_end = UniqueFd();
  std::optional<bool> cancelled;
  std::byte mark{};
  const bool sent = static_cast<bool>(
      write_all(request.write_end.get(), testing::request_line("write", "/none", "image", stick.identity)));
  request.write_end = UniqueFd();
  if (sent && read_exactly(started.read_end.get(), std::span(&mark, 1))) {
    leave(client.get());
    if (write_all(go_on.write_end.get(), "g") && read_exactly(outcome.read_end.get(), std::span(&mark, 1))) {
      cancelled = mark == std::byte{'c'};
    }
  }
  client = UniqueFd();
  go_on = Pipe();
  int status = 0;
  ::waitpid(child, &status, 0);
  return cancelled;
}

// No event is sent (the write did not ask for progress): only the watch
// between two chunks can see the client go.
TEST(StreamHangUp, AClientThatClosedItsEndCancelsTheJob) {
  EXPECT_EQ(job_cancelled_after([](int fd) { ::shutdown(fd, SHUT_RDWR); }), true);
}

// A client may shut its sending side once its request is sent; it still
// reads its events and its reply.
TEST(StreamHangUp, AClientThatOnlyShutItsSendingSideIsStillServed) {
  EXPECT_EQ(job_cancelled_after([](int fd) { ::shutdown(fd, SHUT_WR); }), false);
}

}  // namespace
}  // namespace kelmar_vindle::helper
