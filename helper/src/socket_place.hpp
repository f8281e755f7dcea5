// The listening socket of the Unix-socket mode, made so that no one but
// root and its one client can have a hand in it: bound under a fresh,
// unguessable name with its owner and mode from the moment it exists,
// renamed over the path in one step (a client sees what stood there before
// or this socket, never an impostor's), and removed again at the end.
//
// Who does the work on the file system: in a directory only root controls
// (and reached only through such directories), root, through a descriptor
// of that directory; anywhere else, a child process with exactly the
// client's rights (client_process.hpp), which also does all of it for a
// helper that a user launched. Root never names such a path itself.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/client_process.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// The one user (and, optionally, group) a socket is made for
// (--client-uid, --client-gid).
struct SocketClient {
  uid_t uid = 0;
  std::optional<gid_t> gid;

  friend bool operator==(const SocketClient&, const SocketClient&) = default;
};

// Owns the listening socket and what it takes to remove its name. Moved,
// never copied; one thread.
class SocketPlace {
 public:
  // Makes the socket at `path` for `only` (mode 0600, or 0660 with its group;
  // without `only`, as the umask gives). `launched_by` is the user who
  // started the helper. A directory that users other than root and the
  // client may write is refused ("socket directory {} may be written by
  // users other than root and the client"): anyone who may create names
  // there could create this one first. Other failures carry the system's
  // text ("path must be shorter than SUN_LEN" for a path too long).
  [[nodiscard]] static TextResult<SocketPlace> make(const std::string& path, const std::optional<SocketClient>& only,
                                                    const Client& launched_by);

  int listener() const { return socket_.get(); }

  // Removes the socket's name from its directory (whatever stands there
  // under that name now, with the rights of whoever made it); errors are
  // ignored.
  void remove();

 private:
  SocketPlace() = default;

  UniqueFd socket_;
  UniqueFd directory_;
  std::string name_;
  // The client's process that made the socket, kept for its removal; none
  // when root made it in a directory of its own.
  std::optional<ClientProcess> maker_;
};

}  // namespace kelmar_vindle::helper
