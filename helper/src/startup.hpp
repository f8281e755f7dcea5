// Start-up: from the command line and the environment to the settled device
// source, write backend and service mode, or the failure text that ends the
// process.
#pragma once

#include <memory>
#include <string>
#include <vector>

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
  // Whom the standard-input mode serves when its input is not a socket: the
  // user a privilege launcher names (PKEXEC_UID, else SUDO_UID and
  // SUDO_GID), else the process's real user and group.
  Client launcher = Client::root();
  // --client-uid (and --client-gid): the one client the socket is made for;
  // in the standard-input mode it also names the client instead of the launcher.
  std::optional<SocketClient> named_client;
  // --client-timeout: how long a socket client may take to send its request.
  std::optional<unsigned> client_timeout;
  // The user who started the helper, whose rights reach the paths of the
  // command line (the mock list, the sink, the socket) when that is not root.
  Client launched_by = Client::root();
};

// The launcher's user as above, from `env` and the process's real ids; a
// variable that is not a user or group ID fails ("PKEXEC_UID is not a user ID").
[[nodiscard]] TextResult<Client> launching_client(const Environment& env);

// Runs the checks of start-up in order (arguments as UTF-8, sink with real
// writes, the mock device list, the backend table, the service mode) and
// returns the first failure's text.
[[nodiscard]] TextResult<StartupPlan> plan_startup(const std::vector<std::string>& args, const Environment& env);

// The mock list of --fixture (read now with `launcher`'s rights, and
// checked), else the platform's.
[[nodiscard]] TextResult<std::unique_ptr<DeviceSnapshot>> choose_device_source(const HelperOptions& options,
                                                                               const Client& launcher);

// The backend table alone, from settled options. The raw backend borrows
// `live_disks` to look at the target once more right before unmounting it;
// the sink is reached with `launcher`'s rights.
[[nodiscard]] TextResult<std::unique_ptr<WriteBackend>> choose_backend(const HelperOptions& options,
                                                                       const DeviceSnapshot& live_disks,
                                                                       const Client& launcher);

}  // namespace kelmar_vindle::helper
