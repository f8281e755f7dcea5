#include "xpc_mode.hpp"

#include "xpc.hpp"

namespace kelmar_vindle::helper {

TextResult<> run_xpc_mode(StartupPlan& plan, JobSignals* signals) {
  const auto& requirement = std::get<XpcMode>(plan.mode).peer_requirement;
  return std::unexpected(listen_xpc(std::move(plan.source), std::move(plan.backend), kXpcServiceLabel,
                                    requirement ? requirement->c_str() : nullptr, signals));
}

}  // namespace kelmar_vindle::helper
