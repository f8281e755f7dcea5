// The client side of the helper's Unix-domain socket, for end-to-end tests.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

inline bool is_socket_file(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Connects once the helper is listening at `path`, trying for at most
// `patience` (which only keeps a broken helper from hanging the test); an
// invalid descriptor when it never did.
inline UniqueFd connect_when_listening(const std::filesystem::path& path,
                                       std::chrono::milliseconds patience = std::chrono::seconds(10)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  for (auto waited = std::chrono::milliseconds(0); waited < patience; waited += std::chrono::milliseconds(5)) {
    if (is_socket_file(path)) {
      UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return UniqueFd();
}

}  // namespace kelmar_vindle::testing
