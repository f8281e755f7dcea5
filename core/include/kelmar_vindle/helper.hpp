// The dispatcher's view of the world: the live disks it lists for every job.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// What the dispatcher holds and calls to list the live disks; every call
// lists them anew.
class DeviceSnapshot {
 public:
  virtual ~DeviceSnapshot() = default;
  virtual Result<std::vector<DeviceCandidate>> list() const = 0;
};

}  // namespace kelmar_vindle
