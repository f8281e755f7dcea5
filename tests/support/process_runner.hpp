// Runs the real helper binary with a chosen command line, environment and
// standard input, and collects what it printed and how it ended.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

struct ProcessRun {
  std::vector<std::string> args = {};          // after the program path
  std::vector<std::string> env = {};           // "NAME=value"; nothing else is inherited
  std::optional<std::string> stdin_text = {};  // none: standard input is /dev/null
  // Standard streams to leave closed in the child (0, 1 and/or 2).
  std::vector<int> closed_streams = {};
  // Standard output is a pipe that nobody reads: its read end is closed
  // before the child starts, so writing to it fails with EPIPE.
  bool stdout_unread = false;
};

struct ProcessResult {
  int exit_status = -1;  // -1 when the process did not exit normally
  int signal = 0;        // the signal that ended it, if any
  std::string out;
  std::string err;
};

ProcessResult run_process(const std::string& program, const ProcessRun& run);

// Whether this process may run a command in a private mount namespace of
// its own and mount a tmpfs there (root, and a machine that allows it: not
// every container or chroot does). Probed once by doing exactly that.
bool private_mount_namespace_available();

// Runs the helper with `args` in a private mount namespace where a tmpfs at
// /usr/sbin holds a copy of `disk_utility` as diskutil and a tmpfs at /dev
// holds /dev/null and whatever the shell command `make_node` makes (the raw
// node), so that the unchanged binary meets a fake disk. Needs
// `private_mount_namespace_available()`.
ProcessResult run_helper_with_fake_disk(const std::string& disk_utility, const std::string& make_node,
                                        std::vector<std::string> args, std::string stdin_text,
                                        std::vector<std::string> env = {});

// Lines from a stream it owns (a pipe, a socket), every wait for one bounded.
class LineReader {
 public:
  LineReader() = default;
  explicit LineReader(UniqueFd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  // The next line without its line feed. None when no whole line came
  // within `timeout` (with a timeout of 0: is there already), or none is
  // left once the stream has ended (`ended()`; what followed the last line
  // feed is then `rest()`) or been closed.
  std::optional<std::string> next(std::chrono::milliseconds timeout);
  bool ended() const { return ended_; }
  const std::string& rest() const { return buffer_; }
  // Closes the stream (a hang-up, for a socket).
  void close() { fd_ = UniqueFd(); }

 private:
  UniqueFd fd_;
  std::string buffer_;
  bool ended_ = false;
};

// A process started with pipes on its three standard streams, for a test
// that talks to it while it runs: it writes to its input, reads its output
// line by line, signals it. SIGPIPE, SIGTERM and SIGINT start at their
// default actions in it, whatever the test process was given. Standard error
// is read only by `wait`, which suits a child that writes a line or two
// there. A child still running when the object goes is killed and reaped.
class RunningProcess {
 public:
  RunningProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;
  ~RunningProcess();

  pid_t pid() const { return pid_; }
  // Writes all of `bytes` to its standard input; false when that failed.
  bool send(std::string_view bytes);
  void close_input() { input_ = UniqueFd(); }
  // Its standard output; closing it makes the child's writes fail with EPIPE.
  LineReader& output() { return output_; }
  // False once it has been reaped (or the signal could not be sent).
  bool signal(int number);
  // Stops it (SIGSTOP) and returns once it is stopped: from then on it does
  // nothing until `resume`. False when it ended instead.
  bool pause();
  // Lets a paused process go on (SIGCONT).
  bool resume() { return signal(SIGCONT); }
  // Waits up to `timeout` for it to end, draining both outputs meanwhile;
  // `out` is what `output()` had not yet given, which it then no longer
  // gives. None when it did not end in time (it is then still running).
  std::optional<ProcessResult> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;  // -1 once reaped
  UniqueFd input_;
  LineReader output_;
  UniqueFd errors_;
  std::string out_;  // drained by `wait`
  std::string err_;
};

// The helper binary built alongside the tests, and running it.
std::string helper_binary();
ProcessResult run_helper(const ProcessRun& run);

}  // namespace kelmar_vindle::testing
