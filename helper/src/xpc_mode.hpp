// The XPC service mode; the build links the macOS service or its refusal.
#pragma once

#include <optional>
#include <string>

#include "startup.hpp"

namespace kelmar_vindle::helper {

// Hands the plan's source and backend to the service; returns its failure text.
std::optional<std::string> run_xpc_mode(StartupPlan& plan);

}  // namespace kelmar_vindle::helper
