#include "process.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <exception>

#include "about.hpp"
#include "disk_list_mode.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "modes.hpp"
#include "raised_privileges.hpp"
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
  // Nowhere left to report to when this fails.
  static_cast<void>(write_all(STDERR_FILENO, "helper error: " + text + "\n"));
}

}  // namespace

TextResult<> run_helper(const std::vector<std::string>& args, const Environment& env, JobSignals* signals) {
  if (const auto about = about_text(args)) {
    if (auto written = write_all(STDOUT_FILENO, *about); !written) return std::unexpected(written.error().text());
    return {};
  }
  if (std::find(args.begin(), args.end(), "--list-disks") != args.end()) {
    auto launcher = launching_client(env, ::getuid(), ::getgid());
    if (!launcher) return std::unexpected(std::move(launcher.error()));
    auto source = choose_device_source(read_options(args, env), launcher->client);
    if (!source) return std::unexpected(std::move(source.error()));
    return print_disk_list(**source);
  }
  auto plan = plan_startup(args, env);
  if (!plan) return std::unexpected(std::move(plan.error()));
  return run_mode(*plan, signals);
}

int run_process(int argc, const char* const* argv, const char* const* envp) {
  // First of all: a set-user-ID, set-group-ID or capability-raised start
  // hands root's powers to whoever ran the file, with their environment and
  // streams. The helper is started by root (pkexec, sudo, a service) or not
  // at all.
  if (started_with_raised_privileges()) {
    report_failure(
        "refusing to run with raised privileges (setuid, setgid or file capabilities): start the helper as root "
        "through pkexec, sudo or a service instead");
    // Ended at once: nothing more of the process (exit handlers, a
    // sanitizer's leak check) runs with privileges it was never meant to have.
    ::_exit(1);
  }
  // Before any other thread exists, so that all of them leave both signals
  // to its watcher.
  JobSignals signals;
  std::signal(SIGPIPE, SIG_IGN);
  reopen_closed_standard_streams();

  TextResult<> outcome;
  try {
    const std::vector<std::string> args(argv, argv + argc);
    outcome = run_helper(args, environment_from(envp), &signals);
  } catch (const std::exception& e) {
    outcome = std::unexpected(std::string(e.what()));
  }
  if (!outcome) {
    report_failure(outcome.error());
    return 1;
  }
  return 0;
}

}  // namespace kelmar_vindle::helper
