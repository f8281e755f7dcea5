#include "modes.hpp"

#include "line_transports.hpp"
#include "xpc_mode.hpp"

namespace kelmar_vindle::helper {

TextResult<> run_mode(StartupPlan& plan, JobSignals* signals) {
  if (std::holds_alternative<XpcMode>(plan.mode)) return run_xpc_mode(plan, signals);
  struct Runner {
    const Serving serving;
    const LaunchingClient& launcher;
    const std::optional<SocketClient>& named;
    std::optional<unsigned> timeout;
    const Client& launched_by;
    TextResult<> operator()(const StdinMode&) const { return run_stdin_mode(serving, launcher, timeout); }
    TextResult<> operator()(const UnixSocketMode& mode) const {
      return run_unix_socket_mode(mode.path, serving, named, timeout, launched_by);
    }
    TextResult<> operator()(const NamedPipeMode&) const {
      return std::unexpected(std::string("named pipe listen is Windows-only"));
    }
    TextResult<> operator()(const XpcMode&) const { return {}; }  // handled above
  };
  return std::visit(Runner{Serving{*plan.source, *plan.backend, plan.authorizer.get(), signals}, plan.launcher,
                           plan.named_client, plan.client_timeout, plan.launched_by},
                    plan.mode);
}

}  // namespace kelmar_vindle::helper
