// The files a person names, opened with that person's rights: a front end
// running as root for someone reads and creates nothing they could not.
#pragma once

#include <filesystem>
#include <string>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// The whole regular file at `path`, read as `user` (see `open_as_client`).
// Fails with "{path} does not exist", "{path} is not readable by you" (for
// a file or directory above it they may not read or search), "{path} is a
// directory, not a regular file", "{path} is not a regular file", or else
// "{path}: {system text}".
[[nodiscard]] TextResult<std::string> read_as(const Client& user, const std::filesystem::path& path);

// The regular file at `path` opened for reading as `user`, failing as
// `read_as` does.
[[nodiscard]] TextResult<UniqueFd> open_regular_as(const Client& user, const std::filesystem::path& path);

// Whether `user` may create or write the file at `path`: opens it so
// (creating it empty, mode 0666 less the umask, when it is missing; never
// truncating it, never following a symbolic link at its end) and closes it
// again. Fails with "{path}: {system text}".
[[nodiscard]] TextResult<> check_may_write(const Client& user, const std::filesystem::path& path);

}  // namespace kelmar_vindle::frontend
