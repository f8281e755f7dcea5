#include "xpc_mode.hpp"

#include "xpc.hpp"

namespace kelmar_vindle::helper {

TextResult<> run_xpc_mode(StartupPlan& plan) {
  return std::unexpected(listen_xpc(std::move(plan.source), std::move(plan.backend)));
}

}  // namespace kelmar_vindle::helper
