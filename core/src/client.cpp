#include "kelmar_vindle/client.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "client_open.hpp"

namespace kelmar_vindle {
namespace {

// getgrouplist takes gid_t on Linux and int on macOS; the same bits either way.
template <class Group, class Slot>
int group_list(int (*list)(const char*, Group, Slot*, int*), const char* user, gid_t group, gid_t* groups, int* count) {
  static_assert(sizeof(Slot) == sizeof(gid_t));
  return list(user, static_cast<Group>(group), reinterpret_cast<Slot*>(groups), count);
}

}  // namespace

Client Client::of_user(uid_t uid, const gid_t* gid) {
  Client client{uid, gid != nullptr ? *gid : static_cast<gid_t>(uid), {}};
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return client;
  if (gid == nullptr) client.gid = found->pw_gid;
  // The group list the user gets at log-in, grown until it fits.
  int count = 32;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  while (group_list(&::getgrouplist, found->pw_name, client.gid, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size())) count = static_cast<int>(groups.size()) * 2;
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  client.groups = std::move(groups);
  return client;
}

Result<UniqueFd> open_as_client(const Client& client, const std::filesystem::path& path, int flags, mode_t mode) {
  if (auto clean = check_no_interior_nul(path.native()); !clean) return std::unexpected(clean.error());
  // A process that is not root can take no other identity, and already
  // holds no more than its own user's rights: for that user it opens
  // directly (a helper a user started for a file sink, say).
  const bool as_itself = client.is_root() || (::geteuid() != 0 && client.uid == ::geteuid());
  if (!as_itself) return detail::open_with_identity_of(client, path, flags | O_CLOEXEC, mode);
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
  if (!fd.valid()) return std::unexpected(last_os_error());
  return fd;
}

}  // namespace kelmar_vindle
