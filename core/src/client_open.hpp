// The platform's part of `open_as_client`: the open for a client that is not
// root, on a thread that carries the client's identity for that open alone.
#pragma once

#include <filesystem>

#include "kelmar_vindle/client.hpp"

namespace kelmar_vindle::detail {

// `flags` already hold O_CLOEXEC; `path` holds no zero byte; `mode` as for open(2).
[[nodiscard]] Result<UniqueFd> open_with_identity_of(const Client& client, const std::filesystem::path& path, int flags,
                                                     mode_t mode);

}  // namespace kelmar_vindle::detail
