// The client side of the helper's Unix-domain socket, for end-to-end tests.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

// How long a test waits for a helper to start listening. Only a failure
// bound for a helper that never does: a loaded machine may take seconds.
inline constexpr std::chrono::milliseconds kListenPatience{60'000};

inline bool is_socket_file(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Names created in, moved into or changed in one directory, through
// inotify: a test waits for the next such event instead of looking again
// after a while.
class DirectoryEvents {
 public:
  explicit DirectoryEvents(const std::filesystem::path& directory)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        watching_(fd_.valid() && ::inotify_add_watch(fd_.get(), directory.c_str(),
                                                     IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB) >= 0) {}

  bool valid() const { return watching_; }

  // Waits until something happened in the directory since the last call (or
  // the watch began), at most until `deadline`; false when nothing did.
  bool next(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      if (drain()) return true;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd events{fd_.get(), POLLIN, 0};
      const int ready = ::poll(&events, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) return false;
    }
  }

 private:
  // Reads every event there is; whether there was any.
  bool drain() {
    bool any = false;
    alignas(inotify_event) std::array<char, 8192> buffer{};
    while (::read(fd_.get(), buffer.data(), buffer.size()) > 0) any = true;
    return any;
  }

  UniqueFd fd_;
  bool watching_ = false;
};

// Waits until `ready()` holds, looking again each time something happens in
// `directory`; `patience` only keeps a broken helper from hanging the test.
template <typename Ready>
bool wait_in_directory(const std::filesystem::path& directory, Ready&& ready,
                       std::chrono::milliseconds patience = kListenPatience) {
  DirectoryEvents events(directory);
  if (!events.valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (ready()) return true;
    if (!events.next(deadline)) return ready();
  }
}

// Waits until a socket is at `path`. The helper moves its socket there only
// once it listens, so a client may then connect at once.
inline bool wait_for_socket(const std::filesystem::path& path, std::chrono::milliseconds patience = kListenPatience) {
  return wait_in_directory(
      path.parent_path(), [&] { return is_socket_file(path); }, patience);
}

// Connects once the helper is listening at `path`, waiting for it at most
// `patience` (which only keeps a broken helper from hanging the test); an
// invalid descriptor when it never did. A socket left at the path by an
// earlier helper refuses the connection, and is waited past until the new
// one replaces it.
inline UniqueFd connect_when_listening(const std::filesystem::path& path,
                                       std::chrono::milliseconds patience = kListenPatience) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  UniqueFd connected;
  wait_in_directory(
      path.parent_path(),
      [&] {
        if (!is_socket_file(path)) return false;
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return false;
        connected = std::move(fd);
        return true;
      },
      patience);
  return connected;
}

}  // namespace kelmar_vindle::testing
