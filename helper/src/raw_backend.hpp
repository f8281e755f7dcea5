// The raw disk backends: the only part of the helper that opens a disk for
// writing. `RawDiskBackend::write_job` is the whole safety order of a raw
// write; the host's disks (macos_raw, linux_raw) supply how a disk is named,
// unmounted, opened, written, flushed and read back behind
// `write::DiskInterface`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "kelmar_vindle/device/linux.hpp"
#include "kelmar_vindle/device/snapshot.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/write.hpp"
#include "kelmar_vindle/write/disk_interface.hpp"

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

// Where the system's pieces are; tests point them at a fake utility, a fake
// kernel tree and a directory whose entries stand in for device nodes.
struct RawBackendPaths {
  std::string disk_utility = "/usr/sbin/diskutil";
  std::string device_directory = "/dev";
  device::linux::SystemPaths linux_system = {};
  // The mount namespace whose mounts hold a disk for everyone: process 1's.
  // A Linux helper in another one (a hardened service's own) unmounts there.
  std::filesystem::path system_mount_namespace = "/proc/1/ns/mnt";
};

// The interlock's fixed part, in order: system disk, bus, refused serial,
// then the identity rule that `settings` selects. Reads nothing else.
[[nodiscard]] Result<void> check_interlock(const RawBackendSettings& settings, const DeviceIdentity& target);

// Shares the sequence of a raw write between the hosts. Holds only its
// settings, its paths and the borrowed live disk list; one job at a time,
// on the caller's thread.
class RawDiskBackend : public WriteBackend {
 public:
  const RawBackendSettings& settings() const { return settings_; }

  // The interlock (the fixed rules, the identity rule start-up configured,
  // and a name this host writes), then the enable gate: without real writes
  // nothing is hashed, unmounted or opened; then an image longer than the
  // disk's record says it is, refused before anything is unmounted.
  [[nodiscard]] Result<void> admit(const WriteJob& job) const final;

  // The same as `write_job`: the image bytes are ignored, the raw path
  // streams the image file itself.
  [[nodiscard]] Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                                     const std::atomic<bool>& cancel, ProgressFn& progress) const final;
  // `admit`; the image opened once and checked; the
  // interlock again and a fresh re-identification of the disk; the disk held
  // (`DiskInterface::hold`) until the job ends; unmount; the
  // image unchanged since its check; copy in 1 MiB chunks and flush; read
  // exactly the image's length back and compare digests; once verified, the
  // disk's partition table read anew.
  using WriteBackend::write_job;
  [[nodiscard]] Result<std::string> write_job(const WriteJob& job, const ImageAccess& access,
                                              const std::atomic<bool>& cancel, ProgressFn& progress) const final;
  // The interlock and a fresh re-identification again, then the disk's own
  // eject.
  [[nodiscard]] Result<void> eject(const WriteJob& job) const final;

  // The interlock, then the disk's node from the name the target carries.
  // Reads only the job and the settings; returns the node's path.
  [[nodiscard]] Result<std::string> preflight(const WriteJob& job) const;

  // The raw node of a whole macOS disk "diskN" (see `MacosDisks`).
  [[nodiscard]] Result<std::string> rdisk_path(std::string_view bsd_name) const;

 protected:
  // `live_disks` is borrowed: the owner of both keeps it alive longer than
  // this backend. It is listed once more right before a disk is unmounted.
  RawDiskBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks)
      : settings_(std::move(settings)), live_disks_(live_disks) {}

  // The disks `target` is written through: the host's own, or the macOS
  // ones for a target that only a BSD name names.
  virtual const write::DiskInterface& disks_for(const DeviceIdentity& target) const = 0;
  // The macOS disks, which every host keeps for targets named by BSD name.
  virtual const write::DiskInterface& macos_disks() const = 0;

 private:
  [[nodiscard]] Result<write::Disk> interlock(const write::DiskInterface& disks, const DeviceIdentity& target) const;
  [[nodiscard]] Result<void> recheck_live_disk(const write::DiskInterface& disks, const DeviceIdentity& target,
                                               const write::Disk& disk) const;

  RawBackendSettings settings_;
  const DeviceSnapshot& live_disks_;
};

// The raw backend of this host: `LinuxRawBackend` on Linux, else
// `MacosRawBackend`; the build decides.
[[nodiscard]] std::unique_ptr<RawDiskBackend> make_host_raw_backend(RawBackendSettings settings,
                                                                    const DeviceSnapshot& live_disks);

// Opens `path` with `flags` (close-on-exec); a failure reads "open {path}:
// {error}".
[[nodiscard]] Result<UniqueFd> open_device(const std::string& path, int flags);

// `open_device` of the disk's node with `flags` and, unless the node refuses
// them (EINVAL), `optional_flags`. Refused as `DeviceIdentityMismatch` when
// the system reports a size other than the confirmed disk's: then it is not
// that disk.
[[nodiscard]] Result<UniqueFd> open_disk_node(const write::Disk& disk, int flags, int optional_flags = 0);

// fsync, then whatever else the platform needs for the data to reach the
// medium. Nodes that cannot be synchronised this way (EINVAL, ENOTTY) are
// not failures.
[[nodiscard]] Result<void> flush_disk_node(int fd);

}  // namespace kelmar_vindle::helper
