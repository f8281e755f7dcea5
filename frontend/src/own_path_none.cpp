// Elsewhere there is no portable way to ask; the helper is then looked for
// on PATH only.
#include "own_path.hpp"

namespace kelmar_vindle::frontend {

std::optional<std::filesystem::path> own_executable() { return std::nullopt; }

}  // namespace kelmar_vindle::frontend
