#include "process_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>
#include <stdexcept>
#include <utility>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {
namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe make_pipe() {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// The null-terminated pointer array execve takes, into `text`.
std::vector<char*> pointers_to(std::vector<std::string>& text) {
  std::vector<char*> pointers;
  for (auto& t : text) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads what is there on `fd` into `into`; false at the end of the stream
// (or a failed read, which ends it as well).
bool read_into(int fd, std::string& into) {
  std::array<char, 65536> chunk{};
  const auto got = read_some(fd, std::as_writable_bytes(std::span(chunk)));
  if (!got || *got == 0) return false;
  into.append(chunk.data(), *got);
  return true;
}

// Feeds `input` to `to_child` while draining both output pipes, so that no
// side can block the other.
void pump(std::string input, UniqueFd to_child, UniqueFd from_out, UniqueFd from_err, ProcessResult& result) {
  std::size_t sent = 0;
  if (input.empty()) to_child = UniqueFd();
  while (from_out.valid() || from_err.valid() || to_child.valid()) {
    std::array<pollfd, 3> fds{{{from_out.get(), POLLIN, 0}, {from_err.get(), POLLIN, 0}, {to_child.get(), POLLOUT, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    const auto drain = [](pollfd& p, UniqueFd& fd, std::string& into) {
      if (!fd.valid() || p.revents == 0) return;
      std::array<char, 65536> buffer{};
      const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
      if (n > 0) {
        into.append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fd = UniqueFd();
      }
    };
    drain(fds[0], from_out, result.out);
    drain(fds[1], from_err, result.err);
    if (to_child.valid() && fds[2].revents != 0) {
      const ssize_t n = ::write(to_child.get(), input.data() + sent, input.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN) to_child = UniqueFd();  // the child stopped reading
      if (sent == input.size()) to_child = UniqueFd();
    }
  }
}

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessRun& run) {
  // The child sees no SIGPIPE trouble of ours: a write to a child that closed
  // its input fails with EPIPE here instead of killing the test.
  ::signal(SIGPIPE, SIG_IGN);

  Pipe in = make_pipe();
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  const bool use_stdin = run.stdin_text.has_value();
  const auto closed = [&](int fd) {
    return std::find(run.closed_streams.begin(), run.closed_streams.end(), fd) != run.closed_streams.end();
  };

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), run.args.begin(), run.args.end());
  const std::vector<char*> argv = pointers_to(argv_text);
  std::vector<std::string> env_text = run.env;
  const std::vector<char*> envp = pointers_to(env_text);

  if (run.stdout_unread) out.read = UniqueFd();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(use_stdin ? in.read.get() : null_fd, 0);
    ::dup2(out.write.get(), 1);
    ::dup2(err.write.get(), 2);
    for (int fd = 0; fd <= 2; ++fd) {
      if (closed(fd)) ::close(fd);
    }
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }

  in.read = UniqueFd();
  out.write = UniqueFd();
  err.write = UniqueFd();
  ProcessResult result;
  pump(use_stdin ? *run.stdin_text : std::string(), std::move(in.write), std::move(out.read), std::move(err.read),
       result);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (ended_ || !fd_.valid()) return std::nullopt;
    // Past the deadline (or given none) it still takes what is there already.
    const auto left =
        std::max(std::chrono::milliseconds(0),
                 std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    pollfd stream{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&stream, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    if (!read_into(fd_.get(), buffer_)) ended_ = true;
  }
}

RunningProcess::RunningProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
  ::signal(SIGPIPE, SIG_IGN);  // a child gone from its input is a failed `send`, not our end
  Pipe in = make_pipe();
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  const std::vector<char*> argv = pointers_to(argv_text);
  std::vector<std::string> env_text = env;
  const std::vector<char*> envp = pointers_to(env_text);
  sigset_t none;
  sigemptyset(&none);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on.
    ::dup2(in.read.get(), 0);
    ::dup2(out.write.get(), 1);
    ::dup2(err.write.get(), 2);
    // A shell that started the tests in the background may have left SIGINT
    // ignored, and an ignored signal stays ignored across execve.
    for (const int number : {SIGPIPE, SIGTERM, SIGINT}) ::signal(number, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  input_ = std::move(in.write);
  output_ = LineReader(std::move(out.read));
  errors_ = std::move(err.read);
}

RunningProcess::~RunningProcess() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool RunningProcess::send(std::string_view bytes) { return input_.valid() && write_all(input_.get(), bytes); }

bool RunningProcess::signal(int number) { return pid_ > 0 && ::kill(pid_, number) == 0; }

bool RunningProcess::pause() {
  if (!signal(SIGSTOP)) return false;
  // The stop is the event waited for; the child's end is the only other one
  // it can come to. Neither is reaped here (`wait` still reports the end).
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return false;
  }
  return info.si_code == CLD_STOPPED;
}

std::optional<ProcessResult> RunningProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<ProcessResult> ended;
  for (;;) {
    if (!ended) {
      int status = 0;
      const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
      if (reaped < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
      if (reaped == pid_) {
        pid_ = -1;
        ended.emplace();
        if (WIFEXITED(status)) ended->exit_status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) ended->signal = WTERMSIG(status);
      }
    }
    std::array<pollfd, 2> streams{{{output_.fd(), POLLIN, 0}, {errors_.get(), POLLIN, 0}}};
    const bool open = output_.valid() || errors_.valid();
    if (ended && !open) break;
    if (!ended && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // Once it has ended, all it wrote is in the pipes already: take what is
    // there, and do not wait for a descriptor something else may still hold.
    const int ready = ::poll(streams.data(), streams.size(), ended ? 0 : 10);
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    if (ready == 0 && ended) break;
    if (ready <= 0) continue;
    if (streams[0].revents != 0 && !read_into(output_.fd(), out_)) output_.close();
    if (streams[1].revents != 0 && !read_into(errors_.get(), err_)) errors_ = UniqueFd();
  }
  ended->out = output_.rest() + std::exchange(out_, {});
  ended->err = std::exchange(err_, {});
  output_ = LineReader();
  errors_ = UniqueFd();
  return ended;
}

bool private_mount_namespace_available() {
  static const bool available = [] {
    if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0) return false;
    const auto probe =
        run_process("/usr/bin/unshare",
                    {.args = {"--mount", "--propagation", "private", "/bin/sh", "-c", "mount -t tmpfs none /usr/sbin"},
                     .env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}});
    return probe.exit_status == 0;
  }();
  return available;
}

ProcessResult run_helper_with_fake_disk(const std::string& disk_utility, const std::string& make_node,
                                        std::vector<std::string> args, std::string stdin_text,
                                        std::vector<std::string> env) {
  const std::string script = "set -e\nmount -t tmpfs none /usr/sbin\ncp '" + disk_utility +
                             "' /usr/sbin/diskutil\nmount -t tmpfs none /dev\nmknod /dev/null c 1 3\n" + make_node +
                             "\nexec \"$0\" \"$@\"\n";
  std::vector<std::string> command{"--mount", "--propagation", "private", "/bin/sh", "-c", script, helper_binary()};
  command.insert(command.end(), args.begin(), args.end());
  env.emplace_back("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
  return run_process("/usr/bin/unshare",
                     {.args = std::move(command), .env = std::move(env), .stdin_text = std::move(stdin_text)});
}

std::string helper_binary() { return KV_HELPER_BINARY; }

ProcessResult run_helper(const ProcessRun& run) { return run_process(helper_binary(), run); }

}  // namespace kelmar_vindle::testing
