// Showing how far a running write has come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/protocol.hpp"

namespace kelmar_vindle::frontend {

// The front end's own phase, before the helper's: hashing an image that
// came without a published digest.
inline constexpr std::string_view kPhaseHashingImage = "hashing image";

// Turns the helper's progress events into text on `fd` (standard error). On
// a terminal: one line redrawn in place ("\r" and erase-to-end), with the
// phase, its percentage, the rate since the phase began and the time it has
// left (for a phase whose total is 0, unknown: the bytes so far and the
// rate), fitted to the terminal's width (`width`, 0 for unknown) so that it
// never wraps: the time left goes first, then the rate, then the line is
// cut. Elsewhere: a plain line when a phase begins and ends and at most one
// every `kPlainInterval` between. One job, on the caller's thread; writes
// nothing else to `fd` until `finish`.
class ProgressDisplay {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Width = std::function<std::size_t()>;
  static constexpr std::chrono::seconds kPlainInterval{5};

  ProgressDisplay(int fd, bool terminal, Clock clock = &std::chrono::steady_clock::now, Width width = {});

  void show(const HelperEvent::Progress& progress);
  // Ends a redrawn line, so that what follows starts on a line of its own.
  void finish();

 private:
  // The line's parts, most important first: phase and percentage, rate, time left.
  std::vector<std::string> parts(const HelperEvent::Progress& progress,
                                 std::chrono::steady_clock::time_point now) const;

  int fd_;
  bool terminal_;
  Clock clock_;
  Width width_;
  std::string phase_;                                                // the phase being shown
  std::chrono::steady_clock::time_point phase_start_;                // when its first event came
  std::uint64_t phase_first_done_ = 0;                               // its count then
  std::optional<std::chrono::steady_clock::time_point> printed_at_;  // plain mode: the last line
  bool line_open_ = false;                                           // terminal mode: a line awaits its line feed
};

}  // namespace kelmar_vindle::frontend
