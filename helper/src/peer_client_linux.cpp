// Linux: SO_PEERCRED for the user and group the peer had when it connected,
// SO_PEERGROUPS for its supplementary groups.
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "peer_client.hpp"

namespace kelmar_vindle::helper {

Result<Client> peer_client(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::unexpected(last_os_error());
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

}  // namespace kelmar_vindle::helper
