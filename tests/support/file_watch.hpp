// Counts how often a file is opened and read, through inotify: a test can
// tell that a process opened an image once, or never read it at all.
#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

class FileWatch {
 public:
  struct Counts {
    int opens = 0;
    int reads = 0;  // consecutive reads may be folded into one event
  };

  explicit FileWatch(const std::filesystem::path& file) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!fd_.valid() || ::inotify_add_watch(fd_.get(), file.c_str(), IN_OPEN | IN_ACCESS) < 0) {
      throw std::runtime_error("cannot watch " + file.string());
    }
  }

  // What happened to the file since the watch began or the last call.
  Counts take() {
    Counts counts;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
      if (got <= 0) return counts;
      for (ssize_t at = 0; at < got;) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + at, sizeof event);
        if ((event.mask & IN_OPEN) != 0) ++counts.opens;
        if ((event.mask & IN_ACCESS) != 0) ++counts.reads;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
  }

 private:
  UniqueFd fd_;
};

}  // namespace kelmar_vindle::testing
