// Who a request is served for. The helper runs as root; a file the client
// names is opened with the client's file-system identity, never with root's,
// so that permission bits, ACLs and directory search rights decide as they
// would for the client itself.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <vector>

#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle {

// A plain value; copies are deep.
struct Client {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups

  bool is_root() const { return uid == 0; }
  static Client root() { return {}; }
  // `uid` with its primary group and supplementary groups from the system's
  // user and group databases; `gid` instead of the primary group when given.
  // A user the database does not know keeps `gid` (or its uid as group) and
  // no supplementary groups.
  static Client of_user(uid_t uid, const gid_t* gid = nullptr);

  friend bool operator==(const Client&, const Client&) = default;
};

// How a request's image is reached: by its path, opened with the client's
// rights, or through the descriptor the client opened itself and handed over
// with the request (borrowed for the request; the path is then never opened).
struct ImageAccess {
  ImageAccess(Client who = Client::root(), int handed_over = -1) : client(std::move(who)), descriptor(handed_over) {}

  Client client;
  int descriptor = -1;
};

// Opens `path` with `flags` (close-on-exec added) as `client`: for root
// directly, and so for the process's own user when the process is not root
// (it has no other rights to shed); for anyone else on a short-lived thread
// of its own that takes the client's file-system identity (uid, gid, groups)
// for the one open, so that nothing of it reaches the rest of the process. A refusal reads like
// any open failure ("Permission denied (os error 13)"). `mode` is the new
// file's mode (before the umask) when `flags` hold O_CREAT. One file per
// platform (client_open_linux.cpp, client_open_macos.cpp, client_open_none.cpp).
[[nodiscard]] Result<UniqueFd> open_as_client(const Client& client, const std::filesystem::path& path, int flags,
                                              mode_t mode = 0);

}  // namespace kelmar_vindle
