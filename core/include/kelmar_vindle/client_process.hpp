// The one place where a path that a less privileged user controls is
// resolved: the image a client names, the socket in a client's directory,
// and the sink and mock list of a helper that a user launched. A root
// process that resolved such a path could be led anywhere by a swapped link
// or directory (and would keep powers such as reading another process's
// /proc/PID/cwd), so the resolving is done by a child process that holds
// exactly that user's rights: its uid, gid and supplementary groups, no
// capability in any set, no way to regain privileges, not dumpable. It
// hands back what it opened as descriptors over a socket pair; the root
// part then works on descriptors only.
//
// The child is forked, not executed anew, and runs nothing but system calls
// on its own stack (the parent may have other threads, whose locks the child
// inherits held): no allocation, no library state. It ends when its socket
// closes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle {

// How a listening socket is made in a directory.
struct SocketPlan {
  std::string name;            // the final name in the directory, one component
  std::string fresh;           // the name it is bound under first, one component
  mode_t mode = 0600;          // the socket file's permissions from its creation
  std::optional<uid_t> owner;  // given to the fresh name at once (root only)
  std::optional<gid_t> group;
  // Who besides root and the resolving user may write the directory: the
  // group of a socket made for a group. A directory anyone else may write
  // is refused, since they could take the name first.
  std::optional<gid_t> trusted_group;
};

// A socket bound under the fresh name, listening, and renamed over the
// final name, with the directory it lives in (for its removal at the end).
struct ListeningSocket {
  UniqueFd socket;
  UniqueFd directory;
};

// One child process with one user's rights. Owns the child and its end of
// the socket pair; destroying it ends and reaps the child. One caller at a
// time; not shared between threads. Moved, never copied.
class ClientProcess {
 public:
  // Forks the child and has it take `who`'s identity. In a process that is
  // not root the child keeps the process's own identity, which must then be
  // `who`'s (a user cannot become another). For root no identity is
  // dropped: such a child only serves to work inside a directory it changed
  // into, which a process with threads may not do itself.
  [[nodiscard]] static Result<ClientProcess> start(const Client& who);

  ClientProcess(ClientProcess&& other) noexcept;
  ClientProcess& operator=(ClientProcess&& other) noexcept;
  ~ClientProcess();

  pid_t pid() const { return pid_; }

  // `open(path, flags | O_CLOEXEC, mode)` in the child. With Links::Refuse a
  // symbolic link in any component fails (ELOOP, or ENOTDIR for a middle
  // one), as does a path that leaves through a magic link.
  [[nodiscard]] Result<UniqueFd> open(const std::filesystem::path& path, int flags, mode_t mode = 0,
                                      Links links = Links::Follow);

  // Creates `path` and each missing directory above it (mode 0777 before the
  // umask), following no symbolic link.
  [[nodiscard]] Result<void> make_directories(const std::filesystem::path& path);

  // Makes a listening socket as `plan` says in `directory` (a descriptor the
  // caller holds, sent to the child) or, without one, in the directory at
  // `directory_path` as the child resolves it. A directory others may write
  // fails with `Io` "socket directory {directory_path} may be written by
  // users other than root and the client".
  [[nodiscard]] Result<ListeningSocket> listen(const std::string& directory_path, const SocketPlan& plan,
                                               const UniqueFd* directory = nullptr);

  // Removes `name` from `directory` (unlinkat), whatever it is now.
  [[nodiscard]] Result<void> remove(const UniqueFd& directory, const std::string& name);

 private:
  ClientProcess(pid_t pid, UniqueFd channel) : pid_(pid), channel_(std::move(channel)) {}
  void end();

  pid_t pid_ = -1;
  UniqueFd channel_;
};

// Acts for one client: in this process when that takes no rights the client
// lacks (the client is root, or this process is not root and is the client
// itself), else through a `ClientProcess` started at the first need and kept
// for this object's life, so that one job pays for one child at most.
class ClientPaths {
 public:
  explicit ClientPaths(Client who) : who_(std::move(who)) {}

  const Client& client() const { return who_; }
  // Whether resolving goes through a child with the client's rights.
  bool needs_child() const;

  [[nodiscard]] Result<UniqueFd> open(const std::filesystem::path& path, int flags, mode_t mode = 0,
                                      Links links = Links::Follow);
  [[nodiscard]] Result<void> make_directories(const std::filesystem::path& path);

 private:
  [[nodiscard]] Result<ClientProcess*> child();

  Client who_;
  std::optional<ClientProcess> child_;
};

}  // namespace kelmar_vindle
