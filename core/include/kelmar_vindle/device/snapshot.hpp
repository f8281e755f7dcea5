// What the dispatcher and the raw backends hold to list the live disks.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// Every call lists the disks anew. Implementations take themselves
// read-only; the owner (start-up) keeps one alive for the whole process.
class DeviceSnapshot {
 public:
  virtual ~DeviceSnapshot() = default;
  [[nodiscard]] virtual Result<std::vector<DeviceCandidate>> list() const = 0;
};

}  // namespace kelmar_vindle
