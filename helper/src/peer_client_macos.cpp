// macOS: LOCAL_PEERCRED gives the peer's user and groups (the first group is
// its effective group), but at most NGROUPS of them: a list that long may
// have been cut short, and then the groups come from the group database.
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>
#include <unistd.h>

#include "peer_client.hpp"

namespace kelmar_vindle::helper {

Result<Peer> peer_client(int fd) {
  xucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, &credentials, &length) != 0) return std::unexpected(last_os_error());
  if (credentials.cr_version != XUCRED_VERSION || credentials.cr_ngroups < 1) {
    return std::unexpected(Error::io("the peer's credentials are not available"));
  }
  if (credentials.cr_ngroups < NGROUPS) {
    Client client{credentials.cr_uid, credentials.cr_groups[0], {}};
    client.groups.assign(credentials.cr_groups, credentials.cr_groups + credentials.cr_ngroups);
    return Peer{std::move(client), std::nullopt};
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(fd, &uid, &gid) != 0) return std::unexpected(last_os_error());
  if (uid != credentials.cr_uid) return std::unexpected(Error::io("the peer's credentials are not available"));
  return Peer{uid == 0 ? Client::root() : Client::of_user(uid, &gid), std::nullopt};
}

}  // namespace kelmar_vindle::helper
