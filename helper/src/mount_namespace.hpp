// The system's mount namespace, seen from a helper that may not be in it.
//
// A service manager that narrows a service's view of the file systems
// (systemd's ProtectSystem=, PrivateTmp=, ...) gives it a mount namespace of
// its own whose mounts are slaves of the system's: unmounting there removes
// the service's copy only, while the system's mount stays and keeps the disk
// busy. `run_in` does such work from a short-lived child that has joined the
// system's namespace, so that the helper itself keeps its narrowed view.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper::mount_namespace {

// This process's own mount namespace.
inline constexpr const char* kOwn = "/proc/self/ns/mnt";

// Whether the namespace file `system` (process 1's "/proc/1/ns/mnt" on a
// running system) names another mount namespace than this process's. None
// when it cannot be looked at: opening another process's namespace takes
// CAP_SYS_PTRACE where the caller holds fewer capabilities than that process.
std::optional<bool> differs_from_own(const std::filesystem::path& system);

// Runs `work` in a forked child that has joined the mount namespace at
// `system` (needs CAP_SYS_ADMIN and CAP_SYS_CHROOT) and returns its outcome;
// a failure of `work` comes back as `Io` with its detail. The caller waits
// for the child, which shares nothing with it afterwards: `work` must not
// rely on the caller's other threads or on locks they may hold (allocating
// is fine). No descriptor opened here outlives the call.
[[nodiscard]] Result<void> run_in(const std::filesystem::path& system, const std::function<Result<void>()>& work);

}  // namespace kelmar_vindle::helper::mount_namespace
