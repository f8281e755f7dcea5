// Hosts without XPC have no Mach service to run.
#include "xpc_mode.hpp"

namespace kelmar_vindle::helper {

TextResult<> run_xpc_mode(StartupPlan& /*plan*/, JobSignals* /*signals*/) {
  return std::unexpected(std::string("xpc listen is macOS-only"));
}

}  // namespace kelmar_vindle::helper
