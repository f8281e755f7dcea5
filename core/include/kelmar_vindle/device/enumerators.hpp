// The two device sources: a fixed mock list, and the machine's disks.
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/device/snapshot.hpp"

namespace kelmar_vindle {

// A fixed list read from a mock device list file. `list` never fails and
// always hands out a fresh copy of the same list, in file order.
class MockEnumerator final : public DeviceEnumerator, public DeviceSnapshot {
 public:
  explicit MockEnumerator(std::vector<DeviceCandidate> devices) : devices_(std::move(devices)) {}

  [[nodiscard]] Result<std::vector<DeviceCandidate>> list() const override { return devices_; }

 private:
  std::vector<DeviceCandidate> devices_;
};

// The machine's disks, read from the platform on every call; its failures
// are passed on unchanged.
class PlatformEnumerator final : public DeviceEnumerator, public DeviceSnapshot {
 public:
  [[nodiscard]] Result<std::vector<DeviceCandidate>> list() const override;
};

}  // namespace kelmar_vindle
