// The raw backend on macOS: whole disks named "diskN" by their BSD name,
// unmounted with the disk utility, written through their raw node rdiskN.
#pragma once

#include "raw_backend.hpp"

namespace kelmar_vindle::helper {

class MacosRawBackend final : public RawDiskBackend {
 public:
  MacosRawBackend(RawBackendSettings settings, const DeviceSnapshot& live_disks, RawBackendPaths paths = {})
      : RawDiskBackend(std::move(settings), live_disks, std::move(paths)) {}

  BackendKind kind() const override { return BackendKind::MacosRaw; }

 protected:
  // Needs the target's `mac_bsd_name` (else `DeviceIdentityMismatch`).
  Result<RawDisk> locate(const DeviceIdentity& target) const override { return locate_by_bsd_name(target); }
  // "{disk utility} unmountDisk force {device directory}/diskN".
  Result<void> unmount(const RawDisk& disk) const override { return unmount_with_disk_utility(disk); }
};

}  // namespace kelmar_vindle::helper
