// The raw disk backend: the only part of the helper that opens a disk for
// writing, behind an interlock configured once at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::helper {

// The one disk the test-device profile may ever write.
inline constexpr std::string_view kTestDeviceSerial = "5B3E91D0A7C4F268";
inline constexpr std::uint64_t kTestDeviceSize = 8009023488;  // 0x1DD600000
// A disk with exactly this serial is always refused.
inline constexpr std::string_view kRefusedSerial = "482906735115";

// What start-up configures; never changed afterwards.
struct RawBackendSettings {
  // Empty serial and size 0 mean "no expectation" (purchaser rule only).
  std::string expected_serial;
  std::uint64_t expected_size = 0;
  bool purchaser = false;  // true: purchaser rule; false: test-device rule
  bool allow_real_write = false;

  // The test-device profile: the built-in serial and size.
  static RawBackendSettings test_device(bool allow_real_write) {
    return {std::string(kTestDeviceSerial), kTestDeviceSize, false, allow_real_write};
  }

  friend bool operator==(const RawBackendSettings&, const RawBackendSettings&) = default;
};

class MacosRawBackend final : public WriteBackend {
 public:
  explicit MacosRawBackend(RawBackendSettings settings) : settings_(std::move(settings)) {}

  const RawBackendSettings& settings() const { return settings_; }

  BackendKind kind() const override { return BackendKind::MacosRaw; }
  // The image bytes are ignored: the raw path streams the image file itself.
  Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                       const std::atomic<bool>& cancel, ProgressFn& progress) const override;
  Result<std::string> write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                ProgressFn& progress) const override;

 private:
  RawBackendSettings settings_;
};

}  // namespace kelmar_vindle::helper
