// The service modes that answer requests once start-up has settled.
#pragma once

#include <optional>
#include <string>

#include "startup.hpp"

namespace kelmar_vindle::helper {

// Runs the plan's mode with its device source and backend. Returns the
// mode's failure text, or nothing when it completed.
std::optional<std::string> run_mode(StartupPlan& plan);

}  // namespace kelmar_vindle::helper
