// Inside the simulation: how the simulated daemons put work on a queue a
// program handed them (dispatch_sim.cpp).
#pragma once

#include <dispatch/dispatch.h>

#include <functional>

namespace platform_sim {

// Runs `work` on `queue` after the work submitted before it; returns at once.
void submit(dispatch_queue_t queue, std::function<void()> work);

}  // namespace platform_sim
