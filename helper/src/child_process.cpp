#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::helper {
namespace {

// Reads both pipes until both are at their end.
Result<void> drain(UniqueFd out, UniqueFd err, ChildOutcome& outcome) {
  std::array<std::byte, 8192> buffer{};
  while (out.valid() || err.valid()) {
    std::array<pollfd, 2> fds{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    const auto read_into = [&](const pollfd& polled, UniqueFd& fd, std::string& into) -> Result<void> {
      if (!fd.valid() || polled.revents == 0) return {};
      const auto got = read_some(fd.get(), buffer);
      if (!got) return std::unexpected(got.error());
      if (*got == 0) {
        fd = UniqueFd();
      } else {
        into.append(reinterpret_cast<const char*>(buffer.data()), *got);
      }
      return {};
    };
    if (auto read = read_into(fds[0], out, outcome.out); !read) return read;
    if (auto read = read_into(fds[1], err, outcome.err); !read) return read;
  }
  return {};
}

}  // namespace

Result<ChildOutcome> run_captured(const std::string& program, const std::vector<std::string>& args) {
  auto out = spawn::make_pipe();
  if (!out) return std::unexpected(out.error());
  auto err = spawn::make_pipe();
  if (!err) return std::unexpected(err.error());

  spawn::FileActions files;
  ::posix_spawn_file_actions_addopen(files.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(files.get(), out->write.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(files.get(), err->write.get(), STDERR_FILENO);
  // The helper ignores SIGPIPE; the child gets the default back.
  spawn::Attributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  // The helper blocks SIGTERM and SIGINT to turn them into cancellations;
  // the child starts with nothing blocked.
  sigset_t unblocked;
  sigemptyset(&unblocked);
  ::posix_spawnattr_setsigmask(attributes.get(), &unblocked);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  // Nothing above standard error reaches the child, whatever the helper
  // itself inherited from whoever started it.
  spawn::close_inherited_descriptors(*files.get(), flags);
  ::posix_spawnattr_setflags(attributes.get(), flags);
  // A fixed, minimal environment: the child runs as root and must not take
  // its search path, locale or anything else from the helper's starter.
  std::array<std::string, 2> environment_text{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
  std::array<char*, 3> environment{environment_text[0].data(), environment_text[1].data(), nullptr};

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, program.c_str(), files.get(), attributes.get(), argv.data(), environment.data());
  if (spawned != 0) return std::unexpected(os_error(spawned));
  out->write = UniqueFd();
  err->write = UniqueFd();

  ChildOutcome outcome;
  const auto drained = drain(std::move(out->read), std::move(err->read), outcome);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
  if (!drained) return std::unexpected(drained.error());
  outcome.exited = WIFEXITED(status);
  outcome.exit_code = outcome.exited ? WEXITSTATUS(status) : 0;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return outcome;
}

}  // namespace kelmar_vindle::helper
