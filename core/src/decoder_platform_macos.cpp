// macOS: dyld's record of the executable's path, and execve of the bundle's
// path (the system has no execution from a descriptor; the bundle's
// directory is root's, so the path still names the file that was checked).
#include <mach-o/dyld.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "decoder_platform.hpp"

namespace kelmar_vindle::detail {

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

int execute_program(int /*program*/, const char* path, char* const argv[]) {
  char* const environment[] = {nullptr};
  ::execve(path, argv, environment);
  return errno != 0 ? errno : ENOEXEC;
}

}  // namespace kelmar_vindle::detail
