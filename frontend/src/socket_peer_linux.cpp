// Linux: SO_PEERCRED, the credentials the peer had when it connected or
// started listening.
#include <sys/socket.h>

#include "kelmar_vindle/file_io.hpp"
#include "socket_peer.hpp"

namespace kelmar_vindle::frontend {

TextResult<uid_t> socket_peer_uid(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
    return std::unexpected(last_os_error().detail());
  return credentials.uid;
}

}  // namespace kelmar_vindle::frontend
