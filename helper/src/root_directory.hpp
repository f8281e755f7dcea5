// Reaching a directory that only root controls, by a walk that root may do
// safely: from `/`, one component at a time, never through a name that
// anyone else could have put or replaced. Root works in such a directory
// through the descriptor this returns (`*at` calls), never by its path.
#pragma once

#include <sys/types.h>

#include <string>
#include <variant>

#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// The directory, held open: it and every directory above it belong to root
// and no one else may write them (a sticky directory such as /tmp may be
// crossed when the entry in it belongs to root, since then no one else may
// rename or remove that entry). A symbolic link on the way is followed only
// when it belongs to root and stands in such a directory.
struct RootOnlyDirectory {
  UniqueFd fd;
};

// Where the walk stopped: the first directory (by the path walked so far)
// that someone other than root may change, or that does not belong to root.
struct OthersMayChange {
  std::string at;
};

using DirectoryWalk = std::variant<RootOnlyDirectory, OthersMayChange>;

// Walks `path` (made absolute against the working directory). Fails with
// the system's text when a component is missing or is not a directory.
[[nodiscard]] TextResult<DirectoryWalk> walk_to_root_only_directory(const std::string& path);

}  // namespace kelmar_vindle::helper
