#include "process_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>

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
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = run.env;
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

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
