// Who is at the other end of a connected Unix-domain socket, as the kernel
// vouches for it. One file per platform (peer_client_linux.cpp,
// peer_client_macos.cpp, peer_client_none.cpp).
#pragma once

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper {

// The peer's user, group and supplementary groups (from the socket where the
// system gives them, else from the group database). Fails when `fd` is not a
// connected Unix-domain socket or the system does not say.
[[nodiscard]] Result<Client> peer_client(int fd);

}  // namespace kelmar_vindle::helper
