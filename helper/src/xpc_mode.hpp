// The XPC service mode; the build links the macOS service or its refusal.
#pragma once

#include "startup.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Hands the plan's source and backend to the service, which returns only
// when it cannot serve.
[[nodiscard]] TextResult<> run_xpc_mode(StartupPlan& plan);

}  // namespace kelmar_vindle::helper
