// The running helper (or its privilege launcher), as one owned process.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// How a process ended.
struct ExitStatus {
  bool exited = false;  // false: ended by a signal
  int code = 0;         // when `exited`
  int signal = 0;       // when not `exited`
};

// A child started from `argv` (argv[0] an absolute path, no shell) with
// `input` on its standard input, which is then closed, and its standard
// output and error on pipes the owner reads. It runs in a process group of
// its own, so that the terminal's Ctrl-C reaches only the front end, with
// SIGPIPE, SIGINT and SIGTERM at their defaults and no signal blocked; it
// inherits no descriptor of the front end beyond the three, and the
// environment without the helper's own variables (KELMAR_VINDLE_*,
// VINDLE_PROFILE), so that only the command line configures it. The object
// owns the process: it is always reaped, by `wait` or at the latest by the
// destructor, which closes the pipes first and then waits. Main thread only.
class HelperProcess {
 public:
  // `input` must fit in a pipe's buffer (a request line does): it is written
  // before anything is read back. With `handed_over` (a descriptor, or -1),
  // standard input is a Unix-domain socket instead of a pipe, and that
  // descriptor goes with `input` (SCM_RIGHTS), the way the helper takes an
  // image it reads as a stream; it stays the caller's. The socket's peer is
  // this process, whose user the helper then takes as its client.
  [[nodiscard]] static TextResult<HelperProcess> start(const std::vector<std::string>& argv, std::string_view input,
                                                       int handed_over = -1);

  HelperProcess(HelperProcess&& other) noexcept;
  HelperProcess& operator=(HelperProcess&&) = delete;
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();

  pid_t pid() const { return pid_; }  // also its process group
  // -1 once closed.
  int output() const { return output_.get(); }
  int errors() const { return errors_.get(); }
  // Closes the read end of its standard output: for a helper that asked for
  // progress, the sign that its client went away, which cancels the job.
  void hang_up() { output_ = UniqueFd(); }
  void close_errors() { errors_ = UniqueFd(); }

  // Waits for it to end (without bound), after closing both pipes.
  ExitStatus wait();

 private:
  HelperProcess(pid_t pid, UniqueFd output, UniqueFd errors)
      : pid_(pid), output_(std::move(output)), errors_(std::move(errors)) {}

  pid_t pid_ = -1;  // -1 once reaped
  UniqueFd output_;
  UniqueFd errors_;
};

}  // namespace kelmar_vindle::frontend
