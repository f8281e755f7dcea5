// Running a helper program (the disk utility) without a shell and capturing
// what it prints.
#pragma once

#include <string>
#include <vector>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper {

struct ChildOutcome {
  bool exited = false;  // false: ended by a signal
  int exit_code = 0;    // when `exited`
  int signal = 0;       // when not `exited`
  std::string out;
  std::string err;

  bool succeeded() const { return exited && exit_code == 0; }
};

// Starts `program` (an absolute path, no shell, no PATH search) with `args`,
// standard input on /dev/null, default signal handling with no signal
// blocked, the environment
// PATH=/usr/sbin:/usr/bin:/sbin:/bin and LC_ALL=C only, and no descriptor
// above standard error; collects its
// standard output and error without deadlock however much it prints, and
// waits for it. Fails with `Io` only when it cannot be started or watched.
[[nodiscard]] Result<ChildOutcome> run_captured(const std::string& program, const std::vector<std::string>& args);

}  // namespace kelmar_vindle::helper
