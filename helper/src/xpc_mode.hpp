// The XPC service mode; the build links the macOS service or its refusal.
#pragma once

#include "job_signals.hpp"
#include "startup.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Hands the plan's source and backend to the service, which returns only
// when it cannot serve. With `signals`, SIGTERM and SIGINT cancel the
// running request's job, which is answered before the service ends.
[[nodiscard]] TextResult<> run_xpc_mode(StartupPlan& plan, JobSignals* signals = nullptr);

}  // namespace kelmar_vindle::helper
