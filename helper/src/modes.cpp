#include "modes.hpp"

#include "line_transports.hpp"
#include "xpc_mode.hpp"

namespace kelmar_vindle::helper {

TextResult<> run_mode(StartupPlan& plan, JobSignals* signals) {
  if (std::holds_alternative<XpcMode>(plan.mode)) return run_xpc_mode(plan, signals);
  struct Runner {
    const DeviceSnapshot& source;
    const WriteBackend& backend;
    const LaunchingClient& launcher;
    const std::optional<SocketClient>& named;
    std::optional<unsigned> timeout;
    JobSignals* signals;
    const Client& launched_by;
    TextResult<> operator()(const StdinMode&) const { return run_stdin_mode(source, backend, launcher, signals); }
    TextResult<> operator()(const UnixSocketMode& mode) const {
      return run_unix_socket_mode(mode.path, source, backend, named, timeout, signals, launched_by);
    }
    TextResult<> operator()(const NamedPipeMode&) const {
      return std::unexpected(std::string("named pipe listen is Windows-only"));
    }
    TextResult<> operator()(const XpcMode&) const { return {}; }  // handled above
  };
  return std::visit(Runner{*plan.source, *plan.backend, plan.launcher, plan.named_client, plan.client_timeout, signals,
                           plan.launched_by},
                    plan.mode);
}

}  // namespace kelmar_vindle::helper
