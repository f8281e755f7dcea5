// The raw backend on Linux: whole USB disks named "sd" and lower-case letters
// by the kernel, unmounted with the system call, opened exclusively, read
// back past the page cache. Targets that carry only a BSD name follow the
// macOS rules unchanged, so lists in that naming behave alike on every host.
#pragma once

#include "macos_raw.hpp"
#include "raw_backend.hpp"

namespace kelmar_vindle::helper {

// The Linux disks behind `write::DiskInterface`. Holds its paths only.
class LinuxDisks final : public write::DiskInterface {
 public:
  explicit LinuxDisks(RawBackendPaths paths) : paths_(std::move(paths)) {}

  // Needs the target's `linux_dev_name`; its node is `sd_path` of it.
  [[nodiscard]] Result<write::Disk> locate(const DeviceIdentity& target) const override;
  // Refuses a write-protected disk ("the disk is write-protected") and a
  // disk with an active swap area; unmounts every file system
  // mounted from the disk or its partitions, innermost first; a mount that
  // will not go (busy) fails the job before anything is written.
  [[nodiscard]] Result<void> prepare(const write::Disk& disk) const override;
  // Read and write, exclusively (fails while anything else holds the disk),
  // with direct I/O where the node takes it. Writes, the flush and the
  // read-back fail with the node, where on it and the system's words, or
  // "the disk went away while writing" (or "while verifying"): see
  // disk_faults.hpp.
  [[nodiscard]] Result<UniqueFd> open_for_writing(const write::Disk& disk) const override;
  // The logical block size of a block device opened for direct I/O, else 1.
  [[nodiscard]] std::size_t transfer_unit(int fd) const override;
  // Direct while the chunk is a whole number of the device's blocks.
  [[nodiscard]] Result<void> write_chunk(int fd, std::span<const std::byte> chunk) const override;
  [[nodiscard]] Result<void> flush(int fd) const override;
  // `sha256_from_storage` of the node.
  [[nodiscard]] Result<std::string> read_back(const write::Disk& disk, int written, std::uint64_t count,
                                              const checksum::HashStep& step) const override;
  // BLKRRPART through an exclusive open, retried for up to two seconds
  // while the disk is busy.
  void reread_partitions(const write::Disk& disk) const override;
  // Unmounts what was mounted since (as `prepare`), opens the disk
  // exclusively ("the disk is still in use" while anything else holds it),
  // flushes it, stops it and writes "1" to its SCSI device's `delete` in
  // sysfs.
  [[nodiscard]] Result<void> eject(const write::Disk& disk) const override;

  // "{device directory}/sdX" for a kernel name "sd" followed by lower-case
  // letters; anything else is refused as not USB.
  [[nodiscard]] Result<std::string> sd_path(std::string_view name) const;

 private:
  RawBackendPaths paths_;
};

class LinuxRawBackend final : public RawDiskBackend {
 public:
  LinuxRawBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths = {})
      : RawDiskBackend(std::move(settings), live_disks), linux_disks_(paths), macos_disks_(std::move(paths)) {}

  BackendKind kind() const override { return BackendKind::LinuxRaw; }

  [[nodiscard]] Result<std::string> sd_path(std::string_view name) const { return linux_disks_.sd_path(name); }

 protected:
  // The host's own name wins: a target with `linux_dev_name` is a Linux disk.
  const write::DiskInterface& disks_for(const DeviceIdentity& target) const override {
    if (target.linux_dev_name) return linux_disks_;
    return macos_disks_;
  }
  const write::DiskInterface& macos_disks() const override { return macos_disks_; }

 private:
  LinuxDisks linux_disks_;
  MacosDisks macos_disks_;
};

// Hashes exactly `count` bytes from offset 0 of the node at `path` as the
// storage holds them: with direct I/O, reading ahead while hashing, or, where
// the node refuses direct I/O, after writing out and dropping its cache.
// A node that ends early fails with `SizeMismatch` (count, bytes there).
[[nodiscard]] Result<std::string> sha256_from_storage(const std::string& path, std::uint64_t count,
                                                      const checksum::HashStep& step = {});

}  // namespace kelmar_vindle::helper
