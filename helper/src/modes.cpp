#include "modes.hpp"

namespace kelmar_vindle::helper {

std::optional<std::string> run_mode(StartupPlan& plan) {
  struct Runner {
    std::optional<std::string> operator()(const StdinMode&) const {
      return "the standard-input transport is not available in this build yet";
    }
    std::optional<std::string> operator()(const UnixSocketMode&) const {
      return "the Unix-socket transport is not available in this build yet";
    }
    std::optional<std::string> operator()(const NamedPipeMode&) const { return "named pipe listen is Windows-only"; }
    std::optional<std::string> operator()(const XpcMode&) const { return "xpc listen is macOS-only"; }
  };
  return std::visit(Runner{}, plan.mode);
}

}  // namespace kelmar_vindle::helper
