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

class MacosRawBackend {
 public:
  // `expected_serial` empty and `expected_size` 0 mean "no expectation",
  // which only the purchaser rule allows.
  MacosRawBackend(std::string expected_serial, std::uint64_t expected_size, bool purchaser, bool allow_real_write)
      : expected_serial_(std::move(expected_serial)),
        expected_size_(expected_size),
        purchaser_(purchaser),
        allow_real_write_(allow_real_write) {}

  // The test-device profile: the built-in serial and size, no purchaser rule.
  static MacosRawBackend for_test_device(bool allow_real_write) {
    return MacosRawBackend(std::string(kTestDeviceSerial), kTestDeviceSize, false, allow_real_write);
  }

  BackendKind kind() const { return BackendKind::MacosRaw; }
  const std::string& expected_serial() const { return expected_serial_; }
  std::uint64_t expected_size() const { return expected_size_; }
  bool purchaser() const { return purchaser_; }
  bool allow_real_write() const { return allow_real_write_; }

  friend bool operator==(const MacosRawBackend&, const MacosRawBackend&) = default;

 private:
  std::string expected_serial_;
  std::uint64_t expected_size_;
  bool purchaser_;
  bool allow_real_write_;
};

}  // namespace kelmar_vindle::helper
