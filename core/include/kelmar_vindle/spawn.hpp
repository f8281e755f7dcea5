// Starting a child process: pipes for its standard streams, owners of
// posix_spawn's attribute objects, and the platform's way of starting a child
// that inherits no descriptor above standard error.
#pragma once

#include <spawn.h>

#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::spawn {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A pipe whose two ends are close-on-exec, so that neither leaks into any
// child; the spawn's dup2 clears the flag on the copies a child keeps.
[[nodiscard]] Result<Pipe> make_pipe();

// One of posix_spawn's attribute objects, initialised on construction and
// destroyed with its owner; neither copied nor moved (posix_spawn keeps no
// pointer to it).
template <class Object, int (*Init)(Object*), int (*Destroy)(Object*)>
class SpawnObject {
 public:
  SpawnObject() { Init(&object_); }
  ~SpawnObject() { Destroy(&object_); }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;

  Object* get() { return &object_; }

 private:
  Object object_{};
};

using FileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using Attributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Keeps every descriptor above standard error out of the child, whatever
// the parent itself inherited: a file action (Linux: closefrom) or a spawn
// flag (macOS: POSIX_SPAWN_CLOEXEC_DEFAULT, which `flags` gains and the
// caller then sets). Add it after the dup2 actions that give the child its
// standard streams. One implementation per platform (spawn_linux.cpp,
// spawn_macos.cpp, spawn_none.cpp, where it does nothing).
void close_inherited_descriptors(posix_spawn_file_actions_t& actions, short& flags);

}  // namespace kelmar_vindle::spawn
