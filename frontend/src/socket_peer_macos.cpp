// macOS: getpeereid, the peer's effective ids as the kernel recorded them.
#include <unistd.h>

#include "kelmar_vindle/file_io.hpp"
#include "socket_peer.hpp"

namespace kelmar_vindle::frontend {

TextResult<uid_t> socket_peer_uid(int fd) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(fd, &uid, &gid) != 0) return std::unexpected(last_os_error().detail());
  return uid;
}

}  // namespace kelmar_vindle::frontend
