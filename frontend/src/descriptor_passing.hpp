// Handing a descriptor to the helper with its request over a Unix-domain
// stream socket, the way the helper takes an image it is not to open itself.
#pragma once

#include <string_view>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::frontend {

// Writes all of `bytes` on `socket`, with `fd` attached (SCM_RIGHTS) to the
// first of them; `fd` stays the caller's. Fails with the system's error.
[[nodiscard]] Result<void> send_with_descriptor(int socket, std::string_view bytes, int fd);

}  // namespace kelmar_vindle::frontend
