// Running the front end as a person would: on a terminal of its own, or as an
// unprivileged user. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/file_io.hpp"
#include "process_runner.hpp"
#include "staging.hpp"

namespace kelmar_vindle::testing {

// The user and group a child drops to (no supplementary groups).
struct RunAs {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The user "nobody", when this process is root (so that a child can become
// it) and the system has one; else why not, for a skip.
std::optional<RunAs> unprivileged_user(std::string& why_not);

// The front end built alongside the tests, and the project's example disk
// list (examples/devices.json: the stick disk4 and the internal disk0).
std::string frontend_binary();
std::string example_devices();
// Where an installed front end finds the helper, seen from its directory.
std::string relative_helper_dir();

// Copies of the front end, the helper beside it (where the front end looks
// for it) with its decoder program, and the example disk list, for a test that runs the front end as
// another user or has it read the list with that user's rights.
struct StagedFrontend {
  std::filesystem::path frontend;
  std::filesystem::path helper;
  std::filesystem::path devices;
};
std::expected<StagedFrontend, std::string> stage_frontend(const StagingDir& dir);

// Runs `program` with `args`, only `env` as its environment, standard input
// on /dev/null and, given `user`, as that user. Its output is collected
// through files, so nothing can block it. A child still running after
// `timeout` is killed (`exit_status` -1, `signal` SIGKILL).
ProcessResult run_as(const std::optional<RunAs>& user, const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::chrono::milliseconds timeout);

// A program started on a fresh pseudo-terminal: its standard streams and its
// controlling terminal, whose foreground process group it leads, so that
// what it is typed (Ctrl-C included) arrives as from a keyboard. Its output,
// standard error included, is what the terminal shows, echo included. A
// child still running when the object goes is killed and reaped.
class TerminalProcess {
 public:
  // Given `user`, the program runs as that user (the terminal stays root's).
  // Given `columns`, the terminal is that wide from the start; else its
  // size is 0 by 0, which programs take as unknown.
  TerminalProcess(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::optional<RunAs>& user = std::nullopt, unsigned short columns = 0);
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;
  ~TerminalProcess();

  bool started() const { return pid_ > 0 || status_; }
  // Reads its output until `text` has appeared in all of it; false when the
  // terminal closed or `timeout` passed first.
  bool wait_for(std::string_view text, std::chrono::milliseconds timeout);
  // Reads its output until `done` holds for all of it; false when the
  // terminal closed or `timeout` passed first.
  bool wait_until(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout);
  // Types `text` at the terminal; false when that failed.
  bool type(std::string_view text);
  // Makes the terminal `columns` wide (24 rows), as a window resized: the
  // kernel signals SIGWINCH to its foreground, and so does this, to the
  // program itself. False when that failed.
  bool resize(unsigned short columns);
  // Reads its output until it ends, then reaps it: its exit status (-1 when
  // a signal ended it), none when it did not end within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  const std::string& output() const { return output_; }

 private:
  // One read of what it wrote, waiting until `deadline`; false at the end.
  bool read_until(std::chrono::steady_clock::time_point deadline);

  UniqueFd terminal_;  // the pseudo-terminal's controlling side
  pid_t pid_ = -1;     // -1 once reaped
  std::optional<int> status_;
  std::string output_;
};

// A stand-in for the installed service, as a socket unit with Accept=yes
// serves it: the Unix-domain socket `socket` (anyone may connect), on which
// a child listens, as `user` when given (the peer its clients see), and
// runs `program` with `args` for the first connection, the connection as
// its standard input and output. The child is killed and reaped when the
// object goes.
class ServiceStandIn {
 public:
  ServiceStandIn(const std::filesystem::path& socket, const std::string& program, const std::vector<std::string>& args,
                 const std::optional<RunAs>& user = std::nullopt);
  ServiceStandIn(const ServiceStandIn&) = delete;
  ServiceStandIn& operator=(const ServiceStandIn&) = delete;
  ~ServiceStandIn();

  // Whether the child listens (it said so within a minute).
  bool listening() const { return listening_; }
  // The served program's exit status (-1 when a signal ended it, 127 when
  // it could not be started), none when it did not end within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;  // -1 once reaped
  bool listening_ = false;
  std::optional<int> status_;
};

}  // namespace kelmar_vindle::testing
