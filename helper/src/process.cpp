#include "process.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>

#include "modes.hpp"
#include "startup.hpp"

namespace kelmar_vindle::helper {
namespace {

// A standard stream closed by whoever started us is reopened on /dev/null, so
// that no file the helper opens later can land on descriptor 0, 1 or 2.
void reopen_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void report_failure(const std::string& text) {
  const std::string line = "helper error: " + text + "\n";
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report to
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::optional<std::string> run_helper(const std::vector<std::string>& args, const Environment& env) {
  auto plan = plan_startup(args, env);
  if (!plan) return std::move(plan.error());
  return run_mode(*plan);
}

int run_process(int argc, const char* const* argv, const char* const* envp) {
  std::signal(SIGPIPE, SIG_IGN);
  reopen_closed_standard_streams();

  std::optional<std::string> failure;
  try {
    const std::vector<std::string> args(argv, argv + argc);
    failure = run_helper(args, environment_from(envp));
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure) {
    report_failure(*failure);
    return 1;
  }
  return 0;
}

}  // namespace kelmar_vindle::helper
