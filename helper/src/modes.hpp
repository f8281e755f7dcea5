// The service modes that answer requests once start-up has settled.
#pragma once

#include "job_signals.hpp"
#include "startup.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// Runs the plan's mode with its device source and backend; with `signals`,
// SIGTERM and SIGINT cancel a running request's job (job_signals.hpp).
[[nodiscard]] TextResult<> run_mode(StartupPlan& plan, JobSignals* signals = nullptr);

}  // namespace kelmar_vindle::helper
