// The front end's own executable, where the helper is looked for first. One
// implementation per platform (own_path_linux.cpp, own_path_macos.cpp,
// own_path_none.cpp); the build picks it.
#pragma once

#include <filesystem>
#include <optional>

namespace kelmar_vindle::frontend {

// The running executable's path with symbolic links resolved; none where the
// platform cannot tell.
std::optional<std::filesystem::path> own_executable();

}  // namespace kelmar_vindle::frontend
