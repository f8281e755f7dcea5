// Start-up: from the command line and the environment to the settled device
// source, write backend and service mode, or the failure text that ends the
// process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kelmar_vindle/authorization.hpp"
#include "kelmar_vindle/helper.hpp"
#include "kelmar_vindle/write.hpp"
#include "line_transports.hpp"
#include "options.hpp"
#include "raw_backend.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

struct StartupPlan {
  HelperOptions options;
  // Declared before the backend, so that the backend is destroyed first.
  // A `MockEnumerator` with the --fixture list, else a `PlatformEnumerator`.
  std::unique_ptr<DeviceSnapshot> source;
  // A `MockFileBackend` with --sink, else the host's raw backend
  // (`LinuxRawBackend` on Linux, `MacosRawBackend` elsewhere).
  std::unique_ptr<WriteBackend> backend;
  ListenMode mode;  // never `NamedPipeMode`: that is refused here
  // Whom the standard-input mode serves, decided here once: --client-uid
  // (with --client-gid), else the user root's privilege launcher names
  // (PKEXEC_UID, or SUDO_UID and SUDO_GID), else the process's real user and
  // group (see `launching_client`). Sources that name different users are
  // refused, never chosen between; on a socket-activated standard input
  // the socket's peer must be the user named, if any.
  LaunchingClient launcher;
  // --client-uid (and --client-gid): the one client the socket is made for.
  std::optional<SocketClient> named_client;
  // --client-timeout: how long a socket client may take to send its request.
  std::optional<unsigned> client_timeout;
  // The user who started the helper, whose rights reach the paths of the
  // command line (the mock list, the sink, the socket) when that is not root.
  Client launched_by = Client::root();
  // --authorize polkit: asked before every `write`; none without the option.
  std::unique_ptr<WriteAuthorizer> authorizer;
};

// The action asked about when --authorize-action is not given; the policy
// file dist/polkit/com.kelmar-vindle.write-disk.policy defines it.
inline constexpr std::string_view kDefaultAuthorizeAction = "com.kelmar-vindle.write-disk";

// Whether `id` has the form of a polkit action ID: lower-case ASCII letters,
// digits, '-' and '.', dot-separated non-empty parts (at least two), at most
// 255 bytes.
bool is_polkit_action_id(std::string_view id);

// The authorizer --authorize and --authorize-action ask for: none without
// --authorize; "--authorize takes polkit" for another value; the action
// checked; and where this build cannot ask polkit, its reason.
[[nodiscard]] TextResult<std::unique_ptr<WriteAuthorizer>> choose_authorizer(const HelperOptions& options);

// Who launched the helper, for a process whose real ids are `real_uid` and
// `real_gid`. Only when the real user is root do PKEXEC_UID, SUDO_UID and
// SUDO_GID in `env` name the client (`named_by` says which; PKEXEC_UID
// when both name the same user); otherwise they are ignored and the client
// is the real user and group. A variable that is not a user or group ID
// fails ("PKEXEC_UID is not a user ID"), and so do PKEXEC_UID and SUDO_UID
// naming different users ("PKEXEC_UID and SUDO_UID name different clients
// (1000 and 1001)"). Root with neither is root.
[[nodiscard]] TextResult<LaunchingClient> launching_client(const Environment& env, uid_t real_uid, gid_t real_gid);

// Runs the checks of start-up in order (arguments as UTF-8, sink with real
// writes, the authorizer, the mock device list, the backend table, the
// service mode) and returns the first failure's text.
[[nodiscard]] TextResult<StartupPlan> plan_startup(const std::vector<std::string>& args, const Environment& env);

// The mock list of --fixture (read now with `launcher`'s rights, and
// checked; a failure reads "{path}: {why}"), else the platform's.
[[nodiscard]] TextResult<std::unique_ptr<DeviceSnapshot>> choose_device_source(const HelperOptions& options,
                                                                               const Client& launcher);

// The backend table alone, from settled options. The raw backend borrows
// `live_disks` to look at the target once more right before unmounting it;
// the sink is reached with `launcher`'s rights.
[[nodiscard]] TextResult<std::unique_ptr<WriteBackend>> choose_backend(const HelperOptions& options,
                                                                       const DeviceSnapshot& live_disks,
                                                                       const Client& launcher);

}  // namespace kelmar_vindle::helper
