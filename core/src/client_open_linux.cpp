// Linux: the raw setgroups, setfsgid and setfsuid system calls change only
// the calling thread's credentials (glibc's wrappers would change every
// thread), and a file-system uid other than 0 drops the thread's file
// capabilities, so the open on that thread is checked exactly as the
// client's own. The thread ends right after, and its credentials with it.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "client_open.hpp"

namespace kelmar_vindle::detail {

Result<UniqueFd> open_with_identity_of(const Client& client, const std::filesystem::path& path, int flags,
                                       mode_t mode) {
  int opened = -1;
  int error = 0;
  std::thread as_client([&] {
    if (::syscall(SYS_setgroups, client.groups.size(), client.groups.data()) != 0) {
      error = errno;
      return;
    }
    ::syscall(SYS_setfsgid, client.gid);
    ::syscall(SYS_setfsuid, client.uid);
    // Both calls answer the previous value; asking again tells whether they took.
    if (static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1))) != client.uid ||
        static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1))) != client.gid) {
      error = EPERM;
      return;
    }
    opened = ::open(path.c_str(), flags, mode);
    if (opened < 0) error = errno;
  });
  as_client.join();
  if (opened < 0) return std::unexpected(os_error(error));
  return UniqueFd(opened);
}

}  // namespace kelmar_vindle::detail
