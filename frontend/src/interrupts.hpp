// Ctrl-C and SIGTERM while the helper runs, as a descriptor the front end
// polls beside the helper's output.
#pragma once

#include <csignal>
#include <memory>

#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// While it lives, SIGINT and SIGTERM write one byte each to a self-pipe
// instead of ending the process; its read end becomes readable. The
// handler can reach nothing but the pipe's write end, kept in a global
// of its own (a `volatile sig_atomic_t`). At most one at a
// time, on the main thread; destroying it restores the previous actions and
// then closes the pipe.
class Interrupts {
 public:
  [[nodiscard]] static TextResult<std::unique_ptr<Interrupts>> catch_signals();
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;
  ~Interrupts();

  // Readable once a signal came.
  int fd() const { return read_.get(); }
  // Reads what the handler wrote; true when a signal had come.
  bool take();

 private:
  Interrupts() = default;

  UniqueFd read_;
  UniqueFd write_;
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

}  // namespace kelmar_vindle::frontend
