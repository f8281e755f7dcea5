// Who is at the other end of a connected Unix-domain socket, as the kernel
// vouches for it. One file per platform (peer_client_linux.cpp,
// peer_client_macos.cpp, peer_client_none.cpp).
#pragma once

#include <optional>

#include "kelmar_vindle/authorization.hpp"
#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper {

struct Peer {
  // Whom requests are served for: files they name are opened with its rights.
  Client client;
  // The connecting process, the subject an authority is asked about; none
  // where the system does not name it (macOS here), or when its start time
  // could not be read (it has already ended).
  std::optional<PeerProcess> process;
};

// The peer's user, group and supplementary groups (from the socket where the
// system gives them, else from the group database), and on Linux its
// process. Fails when `fd` is not a connected Unix-domain socket or the
// system does not say.
[[nodiscard]] Result<Peer> peer_client(int fd);

}  // namespace kelmar_vindle::helper
