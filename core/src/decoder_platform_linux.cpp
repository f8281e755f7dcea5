// Linux: the kernel's link to the running executable, and execveat on the
// descriptor that was checked, so that the file executed is the one whose
// owner and mode were looked at, whatever its path names by then.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "decoder_platform.hpp"

namespace kelmar_vindle::detail {

std::optional<std::filesystem::path> own_executable() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path;
}

int execute_program(int program, const char* /*path*/, char* const argv[]) {
  char* const environment[] = {nullptr};
  ::syscall(SYS_execveat, program, "", argv, environment, AT_EMPTY_PATH);
  return errno != 0 ? errno : ENOEXEC;
}

}  // namespace kelmar_vindle::detail
