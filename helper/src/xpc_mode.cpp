#include "xpc_mode.hpp"

#include "xpc.hpp"

namespace kelmar_vindle::helper {

std::optional<std::string> run_xpc_mode(StartupPlan& plan) {
  return listen_xpc(std::move(plan.source), std::move(plan.backend));
}

}  // namespace kelmar_vindle::helper
