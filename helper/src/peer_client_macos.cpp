// macOS: LOCAL_PEERCRED gives the peer's user and groups (the first group is
// its effective group).
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>

#include "peer_client.hpp"

namespace kelmar_vindle::helper {

Result<Peer> peer_client(int fd) {
  xucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, &credentials, &length) != 0) return std::unexpected(last_os_error());
  if (credentials.cr_version != XUCRED_VERSION || credentials.cr_ngroups < 1) {
    return std::unexpected(Error::io("the peer's credentials are not available"));
  }
  Client client{credentials.cr_uid, credentials.cr_groups[0], {}};
  client.groups.assign(credentials.cr_groups, credentials.cr_groups + credentials.cr_ngroups);
  return Peer{std::move(client), std::nullopt};
}

}  // namespace kelmar_vindle::helper
