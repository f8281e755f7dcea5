#include "kelmar_vindle/client.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kelmar_vindle/client_process.hpp"

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

Result<UniqueFd> open_as_client(const Client& client, const std::filesystem::path& path, int flags, mode_t mode,
                                Links links) {
  return ClientPaths(client).open(path, flags, mode, links);
}

Result<std::string> read_regular_file_as(const Client& client, const std::filesystem::path& path) {
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  auto fd = open_as_client(client, path, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(last_os_error());
  if (S_ISDIR(info.st_mode)) return std::unexpected(os_error(EISDIR));
  if (!S_ISREG(info.st_mode)) return std::unexpected(Error::io(path.string() + " is not a regular file"));
  return read_to_end(fd->get());
}

}  // namespace kelmar_vindle
