// Linux: the raw system calls, not glibc's set*id wrappers (which signal
// every thread of the process to follow; the forked child has one thread,
// and the raw calls need no library state). Capabilities: the bounding set
// is emptied while the child still holds CAP_SETPCAP, the ambient set
// cleared, and the change of every uid slot away from 0 clears the permitted
// and effective sets; the inheritable set is cleared by capset and the whole
// result read back, so that a kernel that kept anything fails the child.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "client_process_platform.hpp"

namespace kelmar_vindle::detail {
namespace {

int last_error() { return errno != 0 ? errno : EPERM; }

int clear_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capset, &header, data) != 0) return last_error();
  if (::syscall(SYS_capget, &header, data) != 0) return last_error();
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return EPERM;
  }
  for (int cap = 0; cap <= 63; ++cap) {
    const int held = ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
    if (held < 0) break;  // past the last capability this kernel knows
    if (held != 0) return EPERM;
  }
  const int ambient = ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_ADMIN, 0, 0);
  if (ambient > 0) return EPERM;
  return 0;
}

}  // namespace

void close_all_but(int keep) {
  if (keep > 0 && ::syscall(SYS_close_range, 0U, static_cast<unsigned>(keep - 1), 0U) != 0) {
    for (int fd = 0; fd < keep; ++fd) ::close(fd);
  }
  if (::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U) != 0) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = keep + 1; fd < limit; ++fd) ::close(static_cast<int>(fd));
  }
}

void close_from(int first) {
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) != 0) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < limit; ++fd) ::close(static_cast<int>(fd));
  }
}

int become(const ChildIdentity& who) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return last_error();
  if (who.drop) {
    // Older kernels know no ambient set; then there is nothing to clear.
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return last_error();
    for (int cap = 0; cap <= 63; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
        if (errno == EINVAL) break;  // past the last capability
        return last_error();
      }
    }
    if (::syscall(SYS_setgroups, who.group_count, who.groups) != 0) return last_error();
    if (::syscall(SYS_setresgid, who.gid, who.gid, who.gid) != 0) return last_error();
    if (::syscall(SYS_setresuid, who.uid, who.uid, who.uid) != 0) return last_error();
    uid_t r = 0, e = 0, s = 0;
    gid_t gr = 0, ge = 0, gs = 0;
    if (::syscall(SYS_getresuid, &r, &e, &s) != 0 || r != who.uid || e != who.uid || s != who.uid) return EPERM;
    if (::syscall(SYS_getresgid, &gr, &ge, &gs) != 0 || gr != who.gid || ge != who.gid || gs != who.gid) return EPERM;
    if (const int cleared = clear_capabilities(); cleared != 0) return cleared;
  }
  // After the identity change, which resets it. (No parent-death signal:
  // it would follow the forking thread, not the process; the child ends at
  // the end of its socket anyway, however the parent ends.)
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return last_error();
  return 0;
}

int open_without_links(const char* path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<__u64>(flags);
  // The kernel refuses a mode without a file to create.
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0 && errno == ENOSYS) return -1;  // a kernel before 5.6: the caller walks
  return static_cast<int>(fd);
}

}  // namespace kelmar_vindle::detail
