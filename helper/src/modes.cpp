#include "modes.hpp"

#include "line_transports.hpp"
#include "xpc_mode.hpp"

namespace kelmar_vindle::helper {

std::optional<std::string> run_mode(StartupPlan& plan) {
  if (std::holds_alternative<XpcMode>(plan.mode)) return run_xpc_mode(plan);
  struct Runner {
    const DeviceSnapshot& source;
    const WriteBackend& backend;
    std::optional<std::string> operator()(const StdinMode&) const { return run_stdin_mode(source, backend); }
    std::optional<std::string> operator()(const UnixSocketMode& mode) const {
      return run_unix_socket_mode(mode.path, source, backend);
    }
    std::optional<std::string> operator()(const NamedPipeMode&) const { return "named pipe listen is Windows-only"; }
    std::optional<std::string> operator()(const XpcMode&) const { return std::nullopt; }  // handled above
  };
  return std::visit(Runner{*plan.source, *plan.backend}, plan.mode);
}

}  // namespace kelmar_vindle::helper
