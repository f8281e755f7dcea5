// A host that is neither Linux nor macOS: the POSIX calls alone. With no
// way known here to empty capability sets or forbid new privileges, a child
// for another user is refused rather than half made.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "client_process_platform.hpp"

namespace kelmar_vindle::detail {

void close_all_but(int keep) {
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = 0; fd < limit; ++fd) {
    if (fd != keep) ::close(static_cast<int>(fd));
  }
}

void close_from(int first) {
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) ::close(static_cast<int>(fd));
}

int become(const ChildIdentity& who) { return who.drop ? EACCES : 0; }

int open_without_links(const char* /*path*/, int /*flags*/, mode_t /*mode*/) {
  errno = ENOSYS;
  return -1;
}

}  // namespace kelmar_vindle::detail
