// macOS: no capabilities and no "no new privileges" flag exist; a process
// whose every uid is the user's holds that user's rights, and the kernel
// marks a process that changed its ids (P_SUGID), so that the user may not
// attach to it or take its task port. The kernel holds at most NGROUPS_MAX
// groups in a credential. setgroups also marks the credential as complete,
// so that a user in more groups than that would lose the rest; the
// initgroups system call (the one the library's initgroups makes, after its
// directory lookups, which a forked child must not make) instead names the
// user whose further groups the kernel asks the directory service for, as
// it does for every process of that user.
#include <fcntl.h>
#include <sys/param.h>
#include <sys/syscall.h>
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

void close_from(int first) {
  const int limit = ::getdtablesize();
  for (int fd = first; fd < limit; ++fd) ::close(fd);
}

namespace {

// The first `count` groups, and the user whose membership in any other
// group the kernel resolves through the directory service. syscall(2) is
// marked deprecated, yet it is the only way to this system call without
// the library's lookups.
int set_groups_of(uid_t uid, int count, const gid_t* groups) {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
  return ::syscall(SYS_initgroups, count, groups, static_cast<int>(uid));
#pragma clang diagnostic pop
}

}  // namespace

int become(const ChildIdentity& who) {
  if (!who.drop) return 0;
  const int count = who.group_count > NGROUPS_MAX ? NGROUPS_MAX : static_cast<int>(who.group_count);
  if (set_groups_of(who.uid, count, who.groups) != 0) return errno;
  if (::setgid(who.gid) != 0) return errno;
  if (::setuid(who.uid) != 0) return errno;
  // Root can no longer be regained: setuid by root sets every uid slot.
  if (::setuid(0) == 0 || ::getuid() != who.uid || ::geteuid() != who.uid || ::getegid() != who.gid) return EPERM;
  return 0;
}

int open_without_links(const char* path, int flags, mode_t mode) { return ::open(path, flags | O_NOFOLLOW_ANY, mode); }

}  // namespace kelmar_vindle::detail
