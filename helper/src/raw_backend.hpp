// The raw disk backends: the only part of the helper that opens a disk for
// writing. Before any device is touched, an interlock checks the job's target
// against fixed rules and against what start-up configured; nothing is
// hashed, unmounted or opened unless real writes were enabled. The sequence
// is shared; how a disk is named, unmounted, opened and read back is the
// platform's (macos_raw, linux_raw).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "kelmar_vindle/device/linux.hpp"
#include "kelmar_vindle/file_io.hpp"
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

// Where the system's pieces are; tests point them at a fake utility, a fake
// kernel tree and a directory whose entries stand in for device nodes.
struct RawBackendPaths {
  std::string disk_utility = "/usr/sbin/diskutil";
  std::string device_directory = "/dev";
  device::linux::SystemPaths linux_system = {};
};

// The disk a job resolves to: which naming it follows, its name, its node.
struct RawDisk {
  enum class Naming : std::uint8_t { Macos, Linux };
  Naming naming = Naming::Macos;
  std::string name;  // "disk4" or "sdb", as the target carries it
  std::string path;  // the node opened for writing and reading back
};

// The interlock's fixed part, in order: system disk, bus, refused serial,
// then the identity rule that `settings` selects. Reads nothing else.
Result<void> check_interlock(const RawBackendSettings& settings, const DeviceIdentity& target);

class RawDiskBackend : public WriteBackend {
 public:
  const RawBackendSettings& settings() const { return settings_; }

  // The same as `write_job`: the image bytes are ignored, the raw path
  // streams the image file itself.
  Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte> image,
                                       const std::atomic<bool>& cancel, ProgressFn& progress) const final;
  // Interlock; the enable gate; the image check; the interlock again and a
  // fresh re-identification of the disk; unmount; copy in 1 MiB chunks and
  // flush; read exactly the image's length back and compare digests.
  Result<std::string> write_job(const WriteJob& job, const std::atomic<bool>& cancel, ProgressFn& progress) const final;

  // The interlock, then the disk's node from the name the target carries.
  // Reads only the job and the settings; returns the node's path.
  Result<std::string> preflight(const WriteJob& job) const;

  // The raw node of a whole macOS disk "diskN" (white space around it
  // ignored): "{device directory}/rdiskN". Partitions and other names are
  // refused as not USB, disk0 (the boot disk) as a system disk.
  Result<std::string> rdisk_path(std::string_view bsd_name) const;

 protected:
  // `live_disks` is borrowed: the owner of both keeps it alive longer than
  // this backend. It is listed once more right before a disk is unmounted.
  RawDiskBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths)
      : settings_(std::move(settings)), live_disks_(live_disks), paths_(std::move(paths)) {}

  const RawBackendPaths& paths() const { return paths_; }

  // The platform's part. `locate` names the disk (after the interlock passed);
  // `unmount` leaves no file system of it mounted; `open_for_writing` opens
  // its node and `write_chunk` writes to it; `read_back` hashes exactly
  // `count` bytes from offset 0.
  virtual Result<RawDisk> locate(const DeviceIdentity& target) const = 0;
  virtual Result<void> unmount(const RawDisk& disk) const = 0;
  virtual Result<UniqueFd> open_for_writing(const RawDisk& disk) const;
  // Writes one chunk at the node's current position, all of it.
  virtual Result<void> write_chunk(const RawDisk& disk, int fd, std::span<const std::byte> chunk) const;
  virtual Result<std::string> read_back(const RawDisk& disk, std::uint64_t count) const;

  // The macOS way, which every host follows for targets named by BSD name.
  Result<RawDisk> locate_by_bsd_name(const DeviceIdentity& target) const;
  Result<void> unmount_with_disk_utility(const RawDisk& disk) const;

 private:
  Result<RawDisk> check_and_locate(const WriteJob& job) const;
  Result<void> recheck_live_disk(const DeviceIdentity& target, const RawDisk& disk) const;
  Result<void> copy_image(const WriteJob& job, const RawDisk& disk, const std::atomic<bool>& cancel,
                          ProgressFn& progress) const;

  RawBackendSettings settings_;
  const DeviceSnapshot& live_disks_;
  RawBackendPaths paths_;
};

// The raw backend of this host: `LinuxRawBackend` on Linux, else
// `MacosRawBackend`; the build decides.
std::unique_ptr<RawDiskBackend> make_host_raw_backend(RawBackendSettings settings, const DeviceSnapshot& live_disks);

// Opens `path` with `flags`; a failure reads "open {path}: {error}".
Result<UniqueFd> open_device(const std::string& path, int flags);

}  // namespace kelmar_vindle::helper
