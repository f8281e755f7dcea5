// Who serves the other end of a connected Unix-domain socket, as the kernel
// vouches for it. One file per platform (socket_peer_linux.cpp,
// socket_peer_macos.cpp, socket_peer_none.cpp); the build picks it.
#pragma once

#include <sys/types.h>

#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// The effective user of the process at the other end of the connected
// socket `fd` (for a listening server: when it started listening). Fails
// with the system's text where the system does not say.
[[nodiscard]] TextResult<uid_t> socket_peer_uid(int fd);

}  // namespace kelmar_vindle::frontend
