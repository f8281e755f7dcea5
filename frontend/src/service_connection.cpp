#include "service_connection.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "descriptor_passing.hpp"
#include "socket_peer.hpp"

namespace kelmar_vindle::frontend {
namespace {

// What a person can do when the service cannot be used.
constexpr std::string_view kWithoutService = "--no-service writes through pkexec or sudo instead";

}  // namespace

bool service_socket_exists(const std::filesystem::path& socket) {
  struct stat info {};
  return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

TextResult<std::optional<ServiceConnection>> ServiceConnection::reach(const std::filesystem::path& socket) {
  const std::string& name = socket.native();
  if (!service_socket_exists(socket)) return std::optional<ServiceConnection>();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof address.sun_path || name.find('\0') != std::string::npos) {
    return std::unexpected(name + " cannot be a socket's name (too long); " + std::string(kWithoutService));
  }
  std::memcpy(address.sun_path, name.data(), name.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd.valid() || ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return std::unexpected("cannot make a socket: " + last_os_error().detail());
  }
  int connected = -1;
  while ((connected = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 &&
         errno == EINTR) {
  }
  if (connected != 0) {
    // Gone meanwhile, or a socket left behind with nobody listening.
    if (errno == ENOENT || errno == ECONNREFUSED) return std::optional<ServiceConnection>();
    return std::unexpected("cannot reach the service at " + name + ": " + last_os_error().detail() + "; " +
                           std::string(kWithoutService));
  }
  // Only root's service may be handed the write: anyone else listening
  // there would be given the image and trusted with the answer.
  const auto peer = socket_peer_uid(fd.get());
  if (!peer) {
    return std::unexpected("refusing to write through " + name + ": who serves it is unknown (" + peer.error() + "); " +
                           std::string(kWithoutService));
  }
  if (*peer != 0) {
    return std::unexpected("refusing to write through " + name + ": it is served by user " + std::to_string(*peer) +
                           ", not root, so it is not the installed service; have it removed, or " +
                           std::string(kWithoutService));
  }
  return std::optional<ServiceConnection>(ServiceConnection(socket, std::move(fd)));
}

TextResult<> ServiceConnection::send(std::string_view request, int image) {
  if (auto sent = send_with_descriptor(socket_.get(), std::string(request) + "\n", image); !sent) {
    return std::unexpected("cannot send the write to the service at " + path_.string() + ": " + sent.error().detail());
  }
  return {};
}

std::string ServiceConnection::unanswered(std::string_view /*errors*/) {
  // The helper it ran says why in the service's log, not to its client.
  return "the service at " + path_.string() +
         " closed the connection without an answer (its log says why: journalctl -u 'kelmar-vindle@*')";
}

}  // namespace kelmar_vindle::frontend
