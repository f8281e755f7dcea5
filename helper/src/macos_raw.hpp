// The raw disk backend: the only part of the helper that opens a disk for
// writing. Before any device is touched, an interlock checks the job's target
// against fixed rules and against what start-up configured; nothing is
// hashed, unmounted or opened unless real writes were enabled.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "kelmar_vindle/helper.hpp"
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

// Where the system's pieces are; tests point them at a fake utility and a
// directory whose "rdiskN" entries stand in for raw nodes.
struct RawBackendPaths {
  std::string disk_utility = "/usr/sbin/diskutil";
  std::string device_directory = "/dev";
};

class MacosRawBackend final : public WriteBackend {
 public:
  // `live_disks` is borrowed: the owner of both keeps it alive longer than
  // this backend. It is listed once more right before a disk is unmounted.
  MacosRawBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths = {})
      : settings_(std::move(settings)), live_disks_(live_disks), paths_(std::move(paths)) {}

  const RawBackendSettings& settings() const { return settings_; }

  BackendKind kind() const override { return BackendKind::MacosRaw; }
  // The same as `write_job`: the image bytes are ignored, the raw path
  // streams the image file itself.
  Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                       const std::atomic<bool>& cancel, ProgressFn& progress) const override;
  // Interlock; the enable gate; the image check; the interlock again and a
  // fresh re-identification of the disk; unmount; copy in 1 MiB chunks and
  // flush; read exactly the image's length back and compare digests.
  Result<std::string> write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                ProgressFn& progress) const override;

  // The interlock: refuses system and non-USB targets, the refused serial,
  // targets outside the configured identity rule and targets without a BSD
  // name; returns the raw device path. Reads only the job and the settings.
  Result<std::string> preflight(const WriteJob& job) const;

  // The raw node of a whole disk "diskN" (white space around it ignored):
  // "{device directory}/rdiskN". Partitions and other names are refused as
  // not USB, disk0 (the boot disk) as a system disk.
  Result<std::string> rdisk_path(std::string_view bsd_name) const;

 private:
  Result<void> check_identity_rule(const DeviceIdentity& target) const;
  Result<void> recheck_live_disk(const DeviceIdentity& target) const;
  Result<void> unmount(const std::string& bsd_name) const;

  RawBackendSettings settings_;
  const DeviceSnapshot& live_disks_;
  RawBackendPaths paths_;
};

}  // namespace kelmar_vindle::helper
