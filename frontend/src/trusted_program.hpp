// Whether a program is safe to run as root for another user: nobody but
// root can have changed it, nor swapped it by renaming something above it.
#pragma once

#include <filesystem>

#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// The program's real path (every symbolic link resolved first; the checked
// path is the one to run) when it and each directory above it up to / are
// owned by root, not writable by their group unless that group is root's,
// and not writable by others. Else a refusal naming the file or directory
// nearest the program that fails and why, as "{path} may be written by users
// other than root ({reason})", or the system's text for one that cannot be
// examined.
[[nodiscard]] TextResult<std::filesystem::path> only_root_may_change(const std::filesystem::path& program);

}  // namespace kelmar_vindle::frontend
