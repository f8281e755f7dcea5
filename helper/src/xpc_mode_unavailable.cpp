// Hosts without XPC have no Mach service to run.
#include "xpc_mode.hpp"

namespace kelmar_vindle::helper {

std::optional<std::string> run_xpc_mode(StartupPlan& /*plan*/) { return "xpc listen is macOS-only"; }

}  // namespace kelmar_vindle::helper
