// macOS: pthread_setugid_np gives the calling thread its own user and group
// (with the user's groups from the directory service) until it is undone;
// the open runs on a short-lived thread of its own, so nothing else ever
// runs with the client's identity and the helper's threads never lose root.
#include <fcntl.h>
#include <pthread.h>
#include <sys/kauth.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "client_open.hpp"

namespace kelmar_vindle::detail {

Result<UniqueFd> open_with_identity_of(const Client& client, const std::filesystem::path& path, int flags,
                                       mode_t mode) {
  int opened = -1;
  int error = 0;
  // Deprecated for general use; for one open on a thread that ends right
  // after, it is the narrowest tool the system has.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
  std::thread as_client([&] {
    if (::pthread_setugid_np(client.uid, client.gid) != 0) {
      error = errno;
      return;
    }
    opened = ::open(path.c_str(), flags, mode);
    if (opened < 0) error = errno;
    ::pthread_setugid_np(KAUTH_UID_NONE, KAUTH_GID_NONE);
  });
#pragma clang diagnostic pop
  as_client.join();
  if (opened < 0) return std::unexpected(os_error(error));
  return UniqueFd(opened);
}

}  // namespace kelmar_vindle::detail
