// The raw backend on macOS: whole disks named "diskN" by their BSD name,
// unmounted with the disk utility, written through their raw node rdiskN.
// Every host follows these rules for targets that only a BSD name names.
#pragma once

#include <chrono>

#include "disk_arbitration.hpp"
#include "raw_backend.hpp"

namespace kelmar_vindle::helper {

// The macOS disks behind `write::DiskInterface`. Holds its paths and how long
// DiskArbitration is given to answer one request only.
class MacosDisks final : public write::DiskInterface {
 public:
  explicit MacosDisks(RawBackendPaths paths,
                      std::chrono::milliseconds arbitration_bound = disk_arbitration::kAnswerBound)
      : paths_(std::move(paths)), arbitration_bound_(arbitration_bound) {}

  // Needs the target's `mac_bsd_name` (else `DeviceIdentityMismatch`); its
  // node is `rdisk_path` of it.
  [[nodiscard]] Result<write::Disk> locate(const DeviceIdentity& target) const override;
  // The whole disk claimed and its volumes' mounts vetoed with
  // DiskArbitration (`disk_arbitration::hold_whole_disk`), on macOS; nothing
  // on other hosts.
  [[nodiscard]] Result<std::unique_ptr<write::DiskHold>> hold(const write::Disk& disk) const override;
  // "{disk utility} unmountDisk force {device directory}/diskN"; a utility
  // that does not succeed fails with "unmountDisk failed: {its stderr}".
  [[nodiscard]] Result<void> prepare(const write::Disk& disk) const override;
  // Read and write, held exclusively while open (see
  // `raw_device::exclusive_open_flags`): a disk someone else holds fails the
  // open, before anything is written.
  [[nodiscard]] Result<UniqueFd> open_for_writing(const write::Disk& disk) const override;
  // The media's block size: the raw node takes whole blocks only.
  [[nodiscard]] std::size_t transfer_unit(int fd) const override;
  [[nodiscard]] Result<void> write_chunk(int fd, std::span<const std::byte> chunk) const override;
  // fsync, then the drive told to put its cache on the medium.
  [[nodiscard]] Result<void> flush(int fd) const override;
  // In whole blocks from a fresh read-only descriptor, trimmed to `count`.
  [[nodiscard]] Result<std::string> read_back(const write::Disk& disk, int written, std::uint64_t count,
                                              const checksum::HashStep& step) const override;
  // DiskArbitration's unmount of every volume, then its eject
  // (`disk_arbitration::eject_whole_disk`); elsewhere refused.
  [[nodiscard]] Result<void> eject(const write::Disk& disk) const override;

  // The raw node of a whole disk "diskN" (white space around it ignored):
  // "{device directory}/rdiskN". Partitions and other names are refused as
  // not USB, disk0 (the boot disk) as a system disk.
  [[nodiscard]] Result<std::string> rdisk_path(std::string_view bsd_name) const;

 private:
  RawBackendPaths paths_;
  std::chrono::milliseconds arbitration_bound_;
};

class MacosRawBackend final : public RawDiskBackend {
 public:
  MacosRawBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths = {})
      : RawDiskBackend(std::move(settings), live_disks), disks_(std::move(paths)) {}

  BackendKind kind() const override { return BackendKind::MacosRaw; }

 protected:
  const write::DiskInterface& disks_for(const DeviceIdentity& /*target*/) const override { return disks_; }
  const write::DiskInterface& macos_disks() const override { return disks_; }

 private:
  MacosDisks disks_;
};

}  // namespace kelmar_vindle::helper
