// Whether a process has taken a signal sent to it, as /proc shows it: for a
// test that holds a process still and must know its signal thread has acted
// before letting it go on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "temp_dir.hpp"

namespace kelmar_vindle::testing {

// The signal mask of the field `name` ("ShdPnd", "SigPnd") in a /proc
// status file; 0 without one.
inline std::uint64_t signal_mask(const std::filesystem::path& status, std::string_view name) {
  std::istringstream text(read_file(status));
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
      return std::stoull(line.substr(name.size() + 1), nullptr, 16);
    }
  }
  return 0;
}

// Whether the process `pid` has taken signal `number` and is done with it:
// it is pending neither for the process nor for any of its threads, and
// every thread but `except` (the caller's own, when it looks at its own
// process) sleeps: a thread that waits for signals is back in its wait. A
// process that is gone has taken it as well.
inline bool signal_taken(pid_t pid, int number, pid_t except = 0) {
  const std::filesystem::path process = "/proc/" + std::to_string(pid);
  const std::uint64_t bit = std::uint64_t{1} << (number - 1);
  if (!std::filesystem::exists(process)) return true;
  if ((signal_mask(process / "status", "ShdPnd") & bit) != 0) return false;
  std::error_code error;
  for (std::filesystem::directory_iterator it(process / "task", error), end; !error && it != end; it.increment(error)) {
    if (except != 0 && it->path().filename() == std::to_string(except)) continue;
    if ((signal_mask(it->path() / "status", "SigPnd") & bit) != 0) return false;
    const std::string stat = read_file(it->path() / "stat");
    const auto state = stat.rfind(") ");
    if (state != std::string::npos && state + 2 < stat.size() && stat[state + 2] == 'R') return false;
  }
  return true;
}

// Waits until `signal_taken`. Nothing notifies of that; only /proc shows
// it, so this looks again each millisecond. `patience` only bounds a
// process that never takes the signal.
inline bool wait_until_taken(pid_t pid, int number, std::chrono::milliseconds patience, pid_t except = 0) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!signal_taken(pid, number, except)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kelmar_vindle::testing
