// Holds every read of one file until the test lets it through, through
// fanotify permission events: a test can keep a process that copies the
// file from getting past a chosen point, however the machine schedules the
// two. Needs root and a kernel that gives such events (`valid()` says).
// Only reads of opens made after the gate was set up are held, so it is set
// up before the process starts; nothing in the test's own process may read
// the file meanwhile, or it waits for itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

class ReadGate {
 public:
  explicit ReadGate(const std::filesystem::path& file)
      : fd_(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC)) {
    if (fd_.valid() && ::fanotify_mark(fd_.get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, file.c_str()) != 0) {
      fd_ = UniqueFd();
    }
  }
  ReadGate(const ReadGate&) = delete;
  ReadGate& operator=(const ReadGate&) = delete;
  // Lets the held read and every later one through.
  ~ReadGate() { open_wide(); }

  bool valid() const { return fd_.valid(); }

  // Whether this machine gives a gate at all (probed once, on a file of its
  // own): a test may then choose work that is short yet still stopped part
  // way, where without a gate it needs work long enough to outlast it.
  static bool available() {
    static const bool probed = [] {
      std::string name = (std::filesystem::temp_directory_path() / "kelmar_vindle_gate.XXXXXX").string();
      const UniqueFd file(::mkstemp(name.data()));
      if (!file.valid()) return false;
      const bool valid = ReadGate(name).valid();
      ::unlink(name.c_str());
      return valid;
    }();
    return probed;
  }

  // Waits, at most `patience` (a failure bound only), until a read of the
  // file is waiting; true with that read held until `allow`.
  bool held(std::chrono::milliseconds patience) {
    if (held_.valid()) return true;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (fd_.valid()) {
      alignas(fanotify_event_metadata) std::array<char, 4096> buffer{};
      const ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
      if (got > 0) {
        // One read waits at a time here (one thread copies the file);
        // anything else that came with it is let through.
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(fanotify_event_metadata)) <= got;) {
          fanotify_event_metadata event{};
          std::memcpy(&event, buffer.data() + at, sizeof event);
          if (event.event_len < sizeof event) break;
          at += event.event_len;
          if (event.fd < 0) continue;
          if (!held_.valid()) {
            held_ = UniqueFd(event.fd);
          } else {
            answer(event.fd);
            ::close(event.fd);
          }
        }
        if (held_.valid()) return true;
        continue;
      }
      if (got < 0 && errno != EAGAIN && errno != EINTR) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd events{fd_.get(), POLLIN, 0};
      if (::poll(&events, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return false;
  }

  // Lets the held read (if any) through.
  void allow() {
    if (!held_.valid()) return;
    answer(held_.get());
    held_ = UniqueFd();
  }

  // Lets the held read and every later one through: closing the group
  // allows whatever still waited on it.
  void open_wide() {
    allow();
    fd_ = UniqueFd();
  }

 private:
  void answer(int event_fd) const {
    const fanotify_response response{event_fd, FAN_ALLOW};
    while (::write(fd_.get(), &response, sizeof response) < 0 && errno == EINTR) {
    }
  }

  UniqueFd fd_;
  UniqueFd held_;  // the file as the held read's event gave it
};

}  // namespace kelmar_vindle::testing
