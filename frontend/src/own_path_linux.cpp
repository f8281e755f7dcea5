// Linux: the kernel's link to the running executable.
#include <system_error>

#include "own_path.hpp"

namespace kelmar_vindle::frontend {

std::optional<std::filesystem::path> own_executable() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path;
}

}  // namespace kelmar_vindle::frontend
