// The service modes that answer requests once start-up has settled.
#pragma once

#include "startup.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Runs the plan's mode with its device source and backend.
[[nodiscard]] TextResult<> run_mode(StartupPlan& plan);

}  // namespace kelmar_vindle::helper
