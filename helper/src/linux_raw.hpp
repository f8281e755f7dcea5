// The raw backend on Linux: whole USB disks named "sd" and lower-case letters
// by the kernel, unmounted with the system call, opened exclusively, read
// back past the page cache. Targets that carry only a BSD name follow the
// macOS rules unchanged, so lists in that naming behave alike on every host.
#pragma once

#include "raw_backend.hpp"

namespace kelmar_vindle::helper {

class LinuxRawBackend final : public RawDiskBackend {
 public:
  LinuxRawBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths = {})
      : RawDiskBackend(std::move(settings), live_disks, std::move(paths)) {}

  BackendKind kind() const override { return BackendKind::LinuxRaw; }

  // "{device directory}/sdX" for a kernel name "sd" followed by lower-case
  // letters; anything else is refused as not USB.
  Result<std::string> sd_path(std::string_view name) const;

 protected:
  // `linux_dev_name` when the target has one, else its BSD name.
  Result<RawDisk> locate(const DeviceIdentity& target) const override;
  // Refuses a disk with an active swap area; unmounts every file system
  // mounted from the disk or its partitions, innermost first; a mount that
  // will not go (busy) fails the job before anything is written.
  Result<void> unmount(const RawDisk& disk) const override;
  // Read and write, exclusively (fails while anything else holds the disk),
  // with direct I/O where the node takes it.
  Result<UniqueFd> open_for_writing(const RawDisk& disk) const override;
  // Direct while the chunk is a whole number of the device's blocks.
  Result<void> write_chunk(const RawDisk& disk, int fd, std::span<const std::byte> chunk) const override;
  // Direct I/O, so the digest is of what the device holds, not of the page
  // cache, read ahead on a second thread while the digest is computed; where
  // a node refuses direct I/O, its cache is dropped first.
  Result<std::string> read_back(const RawDisk& disk, std::uint64_t count) const override;
};

// Hashes exactly `count` bytes from offset 0 of the node at `path` as the
// storage holds them: with direct I/O, reading ahead while hashing, or, where
// the node refuses direct I/O, after writing out and dropping its cache.
// A node that ends early fails with `SizeMismatch` (count, bytes there).
Result<std::string> sha256_from_storage(const std::string& path, std::uint64_t count);

}  // namespace kelmar_vindle::helper
