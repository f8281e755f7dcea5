// The platform's part of the client process. Every function here runs in a
// child forked from a process that may have threads, so each is made of
// system calls only (async-signal-safe): no allocation, no locks, no errno
// left to the caller's interpretation beyond the returned number. One file
// per platform (client_process_linux.cpp, client_process_macos.cpp,
// client_process_none.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "kelmar_vindle/client.hpp"

namespace kelmar_vindle::detail {

// The identity a child takes. `groups` points into memory the parent
// prepared before forking.
struct ChildIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  const gid_t* groups = nullptr;
  std::size_t group_count = 0;
  // Root taking another user's identity; false for a child that keeps its
  // parent's identity (root's own child, or a process that is not root).
  bool drop = false;
};

// The identity a child forked for `who` takes, pointing into `who` (which
// must outlive the fork): `who`'s own when this process is root and `who`
// is not, else this process's own (root's child serves root; a process that
// is not root has no other identity to give).
ChildIdentity identity_for(const Client& who);

// Closes every descriptor but `keep`.
void close_all_but(int keep);
// Closes every descriptor from `first` on.
void close_from(int first);

// Takes `who`'s identity for good: its groups, gid and uid in every slot,
// no capability in any set, no new privileges, not dumpable. Returns 0, or
// the error number of
// the first step that failed (the child must then not go on).
int become(const ChildIdentity& who);

// Opens `path` with no symbolic link in any component, in one system call
// where the system has one: the descriptor, -1 with errno set, or -1 with
// errno ENOSYS when only the component-by-component walk can do it.
int open_without_links(const char* path, int flags, mode_t mode);

}  // namespace kelmar_vindle::detail
