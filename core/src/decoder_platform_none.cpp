// Neither Apple nor Linux: no portable way to find the running executable,
// so no decoder is found and compressed images are refused; execve by path.
#include <unistd.h>

#include <cerrno>

#include "decoder_platform.hpp"

namespace kelmar_vindle::detail {

std::optional<std::filesystem::path> own_executable() { return std::nullopt; }

int execute_program(int /*program*/, const char* path, char* const argv[]) {
  char* const environment[] = {nullptr};
  ::execve(path, argv, environment);
  return errno != 0 ? errno : ENOEXEC;
}

}  // namespace kelmar_vindle::detail
