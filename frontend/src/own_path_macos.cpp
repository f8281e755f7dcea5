// macOS: dyld's record of the path the executable was started by, which may
// be relative or pass through links.
#include <mach-o/dyld.h>

#include <cstdint>
#include <system_error>
#include <vector>

#include "own_path.hpp"

namespace kelmar_vindle::frontend {

std::optional<std::filesystem::path> own_executable() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // tells the size it needs
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  std::error_code error;
  auto path = std::filesystem::canonical(buffer.data(), error);
  if (error) return std::nullopt;
  return path;
}

}  // namespace kelmar_vindle::frontend
