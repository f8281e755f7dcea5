#include "kelmar_vindle/spawn.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace kelmar_vindle::spawn {

Result<Pipe> make_pipe() {
  // Not pipe2, which macOS lacks. A child another thread spawns in between
  // could still inherit the ends; `close_inherited_descriptors` covers that.
  std::array<int, 2> fds{};
  if (::pipe(fds.data()) != 0) return std::unexpected(last_os_error());
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (::fcntl(pipe.read.get(), F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(pipe.write.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return std::unexpected(last_os_error());
  }
  return pipe;
}

}  // namespace kelmar_vindle::spawn
