// Linux: SO_PEERCRED for the process, user and group the peer had when it
// connected, SO_PEERGROUPS for its supplementary groups.
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "peer_client.hpp"
#include "process_start_time.hpp"

namespace kelmar_vindle::helper {

namespace {

Client client_of(int fd, const ucred& credentials) {
  Client client{credentials.uid, credentials.gid, {}};
  std::vector<gid_t> groups(64);
  for (;;) {
    auto size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      client.groups = std::move(groups);
      return client;
    }
    if (errno != ERANGE) break;  // a kernel without SO_PEERGROUPS
    groups.resize(size / sizeof(gid_t) + 1);
  }
  return Client::of_user(credentials.uid, &credentials.gid);
}

}  // namespace

Result<Peer> peer_client(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::unexpected(last_os_error());
  // Read at once: the sooner after the credentials, the smaller the window
  // in which the peer may have ended and its ID gone to another process.
  // (A peer in a PID namespace this one cannot see has pid 0: no process.)
  std::optional<PeerProcess> process;
  if (credentials.pid > 0) {
    if (const auto started = process_start_time(credentials.pid)) {
      process = PeerProcess{credentials.pid, *started, credentials.uid};
    }
  }
  return Peer{client_of(fd, credentials), process};
}

}  // namespace kelmar_vindle::helper
