#include "helper_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "descriptor_passing.hpp"
#include "kelmar_vindle/spawn.hpp"

extern char** environ;

namespace kelmar_vindle::frontend {
namespace {

// A variable the helper reads as an option; the front end's own command
// line must be the whole configuration (KELMAR_VINDLE_LISTEN_XPC=1, say,
// would turn it into a service that never reads the request).
bool configures_helper(std::string_view variable) {
  return variable.starts_with("KELMAR_VINDLE_") || variable.starts_with("VINDLE_PROFILE=");
}

std::vector<char*> pointers_to(std::vector<std::string>& text) {
  std::vector<char*> pointers;
  for (auto& t : text) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A connected pair of Unix-domain stream sockets, both ends close-on-exec,
// in the shape of a pipe: the child reads `read`, this process writes
// `write`.
Result<spawn::Pipe> socket_pair() {
  std::array<int, 2> ends{-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) != 0) return std::unexpected(last_os_error("socketpair"));
  spawn::Pipe pair{UniqueFd(ends[0]), UniqueFd(ends[1])};
  for (const int end : ends) {
    if (::fcntl(end, F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(last_os_error("socketpair"));
  }
  return pair;
}

}  // namespace

TextResult<HelperProcess> HelperProcess::start(const std::vector<std::string>& argv, std::string_view input,
                                               int handed_over) {
  auto in = handed_over >= 0 ? socket_pair() : spawn::make_pipe();
  auto out = spawn::make_pipe();
  auto err = spawn::make_pipe();
  for (const auto* pipe : {&in, &out, &err}) {
    if (!*pipe) return std::unexpected(pipe->error().text());
  }

  spawn::FileActions files;
  ::posix_spawn_file_actions_adddup2(files.get(), in->read.get(), STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(files.get(), out->write.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(files.get(), err->write.get(), STDERR_FILENO);
  spawn::Attributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, signal);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  ::posix_spawnattr_setsigmask(attributes.get(), &unblocked);
  ::posix_spawnattr_setpgroup(attributes.get(), 0);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
  spawn::close_inherited_descriptors(*files.get(), flags);
  ::posix_spawnattr_setflags(attributes.get(), flags);

  std::vector<std::string> environment_text;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!configures_helper(*variable)) environment_text.emplace_back(*variable);
  }
  auto environment = pointers_to(environment_text);
  std::vector<std::string> argv_text = argv;
  auto arguments = pointers_to(argv_text);

  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, argv.front().c_str(), files.get(), attributes.get(), arguments.data(), environment.data());
  if (spawned != 0) return std::unexpected("cannot start " + argv.front() + ": " + os_error_text(spawned));
  HelperProcess process(pid, std::move(out->read), std::move(err->read));

  // The child holds its own copies now; the request goes in whole, and a
  // child that ended first (SIGPIPE is ignored, the write fails) tells why
  // on its standard error.
  in->read = UniqueFd();
  out->write = UniqueFd();
  err->write = UniqueFd();
  [[maybe_unused]] const auto sent =
      handed_over >= 0 ? send_with_descriptor(in->write.get(), input, handed_over) : write_all(in->write.get(), input);
  return process;
}

HelperProcess::HelperProcess(HelperProcess&& other) noexcept
    : pid_(other.pid_), output_(std::move(other.output_)), errors_(std::move(other.errors_)) {
  other.pid_ = -1;
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) wait();
}

ExitStatus HelperProcess::wait() {
  hang_up();
  close_errors();
  ExitStatus exit;
  if (pid_ <= 0) return exit;
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  pid_ = -1;
  if (reaped < 0) return exit;  // not ours to wait for (cannot happen): an end without a status
  exit.exited = WIFEXITED(status);
  exit.code = exit.exited ? WEXITSTATUS(status) : 0;
  exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return exit;
}

}  // namespace kelmar_vindle::frontend
