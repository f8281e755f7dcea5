// Runs the real helper binary with a chosen command line, environment and
// standard input, and collects what it printed and how it ended.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// The helper binary built alongside the tests, and running it.
std::string helper_binary();
ProcessResult run_helper(const ProcessRun& run);

}  // namespace kelmar_vindle::testing
