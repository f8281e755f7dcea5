// The process around start-up: signal and standard-stream set-up, and the one
// way a failure ends the process ("helper error: {}", status 1).
#pragma once

#include <string>
#include <vector>

#include "job_signals.hpp"
#include "options.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Start-up followed by the chosen mode (see run_mode for `signals`); with
// --version or --help, their text instead (about.hpp); with --list-disks,
// the disk list (disk_list_mode.hpp).
[[nodiscard]] TextResult<> run_helper(const std::vector<std::string>& args, const Environment& env,
                                      JobSignals* signals = nullptr);

// The whole process: returns the exit status. A process the kernel started
// with raised privileges (set-user-ID, set-group-ID, file capabilities) is
// refused before anything else, its environment and options unread.
int run_process(int argc, const char* const* argv, const char* const* envp);

}  // namespace kelmar_vindle::helper
