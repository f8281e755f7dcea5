#include "raw_backend.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "disk_faults.hpp"
#include "kelmar_vindle/device/revalidation.hpp"
#include "kelmar_vindle/write/job_image.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper {
namespace {

Error identity_mismatch() { return Error::make<ErrorKind::DeviceIdentityMismatch>(); }

bool passes_identity_rule(const RawBackendSettings& settings, const DeviceIdentity& target) {
  if (settings.purchaser) {
    return !target.serial.empty() && (settings.expected_serial.empty() || target.serial == settings.expected_serial) &&
           (settings.expected_size == 0 || target.size == settings.expected_size) && target.size != 0;
  }
  // Only the built-in test device, and only when start-up configured it.
  return target.serial == settings.expected_serial && target.serial == kTestDeviceSerial &&
         target.size == kTestDeviceSize && settings.expected_size == kTestDeviceSize;
}

}  // namespace

Result<void> check_interlock(const RawBackendSettings& settings, const DeviceIdentity& target) {
  if (target.is_system) return std::unexpected(Error::make<ErrorKind::RejectedSystem>());
  if (target.bus != Bus::Usb) return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  if (target.serial == kRefusedSerial) return std::unexpected(identity_mismatch());
  if (!passes_identity_rule(settings, target)) return std::unexpected(identity_mismatch());
  return {};
}

Result<std::string> RawDiskBackend::write_and_verify(const WriteJob& job, std::span<const std::byte> /*image*/,
                                                     const std::atomic<bool>& cancel, ProgressFn& progress) const {
  return write_job(job, cancel, progress);
}

Result<void> RawDiskBackend::admit(const WriteJob& job) const {
  auto disk = interlock(disks_for(job.target), job.target);
  if (!disk) return std::unexpected(std::move(disk.error()));
  if (!settings_.allow_real_write) return std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());
  // Known from the disk's record: refused before anything is unmounted, so
  // that a job that cannot succeed destroys nothing.
  if (job.expected_size > job.target.size) {
    return std::unexpected(Error::io(image_too_large_text(job.expected_size, disk->name, job.target.size)));
  }
  return {};
}

Result<std::string> RawDiskBackend::write_job(const WriteJob& job, const ImageAccess& access,
                                              const std::atomic<bool>& cancel, ProgressFn& progress) const {
  // Checked here as well: a caller other than the dispatcher may not have asked.
  if (auto admitted = admit(job); !admitted) return std::unexpected(std::move(admitted.error()));
  const write::DiskInterface& disks = disks_for(job.target);

  // The image, opened once, with the client's rights or through the
  // descriptor it handed over: the descriptor checked here is the one copied.
  progress(WritePhase::of(WritePhase::Kind::CheckingImage));
  auto image = write::JobImage::open(job, access, progress, cancel);
  if (!image) return std::unexpected(std::move(image.error()));

  // Hashing a large image takes minutes; the stick may have been swapped for
  // another under the same name meanwhile. Look again before unmounting.
  const auto disk = interlock(disks, job.target);
  if (!disk) return std::unexpected(disk.error());
  // A compressed or streamed image starts decoding now: a decoded length
  // its container states over the disk's size is refused before unmounting.
  if (auto begun = image->begin(disk->size, access.client, cancel, progress); !begun)
    return std::unexpected(begun.error());
  if (auto same = recheck_live_disk(disks, job.target, *disk); !same) return std::unexpected(std::move(same.error()));

  // Held against other programs from before the unmount until the read-back
  // ended, on every path out of here.
  const auto held = disks.hold(*disk);
  if (!held) return std::unexpected(held.error());
  if (auto prepared = disks.prepare(*disk); !prepared) return std::unexpected(std::move(prepared.error()));
  // The last moment before a byte reaches the disk: the file must still hold
  // the bytes that were checked.
  if (auto unchanged = image->check_unchanged(); !unchanged) return std::unexpected(std::move(unchanged.error()));

  progress(WritePhase::writing(0, image->writing_total()));
  auto verified = image->copy(disks, *disk, job, disk->size, cancel, progress);
  if (verified) disks.reread_partitions(*disk);
  return verified;
}

Result<void> RawDiskBackend::eject(const WriteJob& job) const {
  // Only the disk just written, and only while it is still the one attached
  // under its name.
  const write::DiskInterface& disks = disks_for(job.target);
  const auto disk = interlock(disks, job.target);
  if (!disk) return std::unexpected(disk.error());
  if (auto same = recheck_live_disk(disks, job.target, *disk); !same) return std::unexpected(std::move(same.error()));
  return disks.eject(*disk);
}

Result<std::string> RawDiskBackend::preflight(const WriteJob& job) const {
  auto disk = interlock(disks_for(job.target), job.target);
  if (!disk) return std::unexpected(std::move(disk.error()));
  return std::move(disk->path);
}

Result<std::string> RawDiskBackend::rdisk_path(std::string_view bsd_name) const {
  DeviceIdentity named;
  named.mac_bsd_name = std::string(bsd_name);
  auto disk = macos_disks().locate(named);
  if (!disk) return std::unexpected(std::move(disk.error()));
  return std::move(disk->path);
}

Result<write::Disk> RawDiskBackend::interlock(const write::DiskInterface& disks, const DeviceIdentity& target) const {
  if (auto checked = check_interlock(settings_, target); !checked) return std::unexpected(checked.error());
  return disks.locate(target);
}

Result<void> RawDiskBackend::recheck_live_disk(const write::DiskInterface& disks, const DeviceIdentity& target,
                                               const write::Disk& disk) const {
  const auto live = live_disks_.list();
  if (!live) return std::unexpected(live.error());
  const auto resolved = revalidate_against_live(target, *live);
  if (!resolved) return std::unexpected(resolved.error());
  // The disk attached now must go by the same name, in the same naming.
  const auto live_disk = disks.locate(resolved->identity);
  if (!live_disk || live_disk->name != disk.name) return std::unexpected(identity_mismatch());
  return {};
}

Result<UniqueFd> open_device(const std::string& path, int flags) {
  UniqueFd device(::open(path.c_str(), flags | O_CLOEXEC));
  if (!device.valid()) {
    const int error = errno;  // before the context text is built
    return std::unexpected(os_error(error, "open " + path));
  }
  return device;
}

Result<UniqueFd> open_disk_node(const write::Disk& disk, int flags, int optional_flags) {
  UniqueFd device(::open(disk.path.c_str(), flags | optional_flags | O_CLOEXEC));
  if (!device.valid()) {
    if (optional_flags == 0 || errno != EINVAL) {
      const int error = errno;  // before the context text is built
      return std::unexpected(os_error(error, "open " + disk.path));
    }
    auto plain = open_device(disk.path, flags);
    if (!plain) return plain;
    device = std::move(*plain);
  }
  if (const auto size = raw_device::media_size(device.get()); size && *size != disk.size) {
    return std::unexpected(identity_mismatch());
  }
  return device;
}

Result<void> flush_disk_node(int fd) {
  if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTTY) return std::unexpected(last_os_error());
  return raw_device::synchronize_cache(fd);
}

}  // namespace kelmar_vindle::helper
