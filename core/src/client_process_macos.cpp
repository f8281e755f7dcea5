// macOS: no capabilities and no "no new privileges" flag exist; a process
// whose every uid is the user's holds that user's rights, and the kernel
// marks a process that changed its ids (P_SUGID), so that the user may not
// attach to it or take its task port. setgroups takes at most NGROUPS_MAX
// groups; the rest of a longer list is the directory service's to resolve
// through the process's uid, as for any process of the user.
#include <fcntl.h>
#include <sys/param.h>
#include <unistd.h>

#include <cerrno>

#include "client_process_platform.hpp"

namespace kelmar_vindle::detail {

void close_all_but(int keep) {
  const int limit = ::getdtablesize();
  for (int fd = 0; fd < limit; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

int become(const ChildIdentity& who) {
  if (!who.drop) return 0;
  const int count = who.group_count > NGROUPS_MAX ? NGROUPS_MAX : static_cast<int>(who.group_count);
  if (::setgroups(count, who.groups) != 0) return errno;
  if (::setgid(who.gid) != 0) return errno;
  if (::setuid(who.uid) != 0) return errno;
  // Root can no longer be regained: setuid by root sets every uid slot.
  if (::setuid(0) == 0 || ::getuid() != who.uid || ::geteuid() != who.uid || ::getegid() != who.gid) return EPERM;
  return 0;
}

int open_without_links(const char* path, int flags, mode_t mode) { return ::open(path, flags | O_NOFOLLOW_ANY, mode); }

}  // namespace kelmar_vindle::detail
