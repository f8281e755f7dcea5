#include "raw_backend.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "child_process.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/revalidation.hpp"
#include "kelmar_vindle/image_file.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/text.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper {
namespace {

Error identity_mismatch() { return Error::make<ErrorKind::DeviceIdentityMismatch>(); }
Error last_os_error() { return Error::io(os_error_text(errno)); }

// fsync, then whatever else the platform needs for the data to reach the
// medium. Devices that cannot be synchronised this way (EINVAL, ENOTTY) are
// not failures.
Result<void> flush_device(int fd) {
  if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTTY) return std::unexpected(last_os_error());
  return raw_device::synchronize_cache(fd);
}

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

Result<UniqueFd> open_device(const std::string& path, int flags) {
  UniqueFd device(::open(path.c_str(), flags | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(Error::io("open " + path + ": " + os_error_text(errno)));
  return device;
}

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

Result<std::string> RawDiskBackend::write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                              ProgressFn& progress) const {
  if (auto checked = check_and_locate(job); !checked) return std::unexpected(std::move(checked.error()));
  if (!settings_.allow_real_write) return std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());

  progress(WritePhase::of(WritePhase::Kind::CheckingImage));
  if (auto image = write::check_image(job.image_path, job.expected_sha256, job.expected_size); !image) {
    return std::unexpected(std::move(image.error()));
  }
  const auto disk = check_and_locate(job);
  if (!disk) return std::unexpected(disk.error());
  // Hashing a large image takes minutes; the stick may have been swapped for
  // another under the same name meanwhile. Look again before unmounting.
  if (auto same = recheck_live_disk(job.target, *disk); !same) return std::unexpected(std::move(same.error()));
  if (auto unmounted = unmount(*disk); !unmounted) return std::unexpected(std::move(unmounted.error()));

  progress(WritePhase::writing(0, job.expected_size));
  if (auto copied = copy_image(job, *disk, cancel, progress); !copied)
    return std::unexpected(std::move(copied.error()));
  progress(WritePhase::of(WritePhase::Kind::Written));
  progress(WritePhase::of(WritePhase::Kind::Verifying));
  auto digest = read_back(*disk, job.expected_size);
  if (!digest) return digest;
  if (*digest != job.expected_sha256) {
    return std::unexpected(Error::make<ErrorKind::VerifyMismatch>(job.expected_sha256, std::move(*digest)));
  }
  progress(WritePhase::of(WritePhase::Kind::Verified));
  return digest;
}

Result<std::string> RawDiskBackend::preflight(const WriteJob& job) const {
  auto disk = check_and_locate(job);
  if (!disk) return std::unexpected(std::move(disk.error()));
  return std::move(disk->path);
}

Result<RawDisk> RawDiskBackend::check_and_locate(const WriteJob& job) const {
  if (auto checked = check_interlock(settings_, job.target); !checked) return std::unexpected(checked.error());
  return locate(job.target);
}

Result<RawDisk> RawDiskBackend::locate_by_bsd_name(const DeviceIdentity& target) const {
  if (!target.mac_bsd_name) return std::unexpected(identity_mismatch());
  auto path = rdisk_path(*target.mac_bsd_name);
  if (!path) return std::unexpected(std::move(path.error()));
  return RawDisk{RawDisk::Naming::Macos, *target.mac_bsd_name, std::move(*path)};
}

Result<std::string> RawDiskBackend::rdisk_path(std::string_view bsd_name) const {
  const std::string_view name = text::trim_unicode_whitespace(bsd_name);
  constexpr std::string_view kPrefix = "disk";
  if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) {
    return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  }
  const std::string_view digits = name.substr(kPrefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  }
  if (digits == "0") return std::unexpected(Error::make<ErrorKind::RejectedSystem>());
  return paths_.device_directory + "/rdisk" + std::string(digits);
}

Result<void> RawDiskBackend::recheck_live_disk(const DeviceIdentity& target, const RawDisk& disk) const {
  const auto live = live_disks_.list();
  if (!live) return std::unexpected(live.error());
  const auto resolved = revalidate_against_live(target, *live);
  if (!resolved) return std::unexpected(resolved.error());
  const bool linux_naming = disk.naming == RawDisk::Naming::Linux;
  const auto& live_name = linux_naming ? resolved->identity.linux_dev_name : resolved->identity.mac_bsd_name;
  if (live_name != (linux_naming ? target.linux_dev_name : target.mac_bsd_name)) {
    return std::unexpected(identity_mismatch());
  }
  return {};
}

Result<void> RawDiskBackend::unmount_with_disk_utility(const RawDisk& disk) const {
  const auto outcome =
      run_captured(paths_.disk_utility, {"unmountDisk", "force", paths_.device_directory + "/" + disk.name});
  if (!outcome) return std::unexpected(outcome.error());
  if (!outcome->succeeded()) {
    return std::unexpected(Error::io("unmountDisk failed: " + text::decode_utf8_lossy(outcome->err)));
  }
  return {};
}

Result<UniqueFd> RawDiskBackend::open_for_writing(const RawDisk& disk) const { return open_device(disk.path, O_RDWR); }

Result<void> RawDiskBackend::write_chunk(const RawDisk& /*disk*/, int fd, std::span<const std::byte> chunk) const {
  return write_all(fd, chunk);
}

// Streams the image onto the device from offset 0 through one 1 MiB buffer,
// checking for cancellation before every chunk.
Result<void> RawDiskBackend::copy_image(const WriteJob& job, const RawDisk& disk, const std::atomic<bool>& cancel,
                                        ProgressFn& progress) const {
  const std::uint64_t count = job.expected_size;
  auto image = open_image(job.image_path);
  if (!image) return std::unexpected(std::move(image.error()));
  auto device = open_for_writing(disk);
  if (!device) return std::unexpected(std::move(device.error()));
  // A device whose size is not the confirmed disk's is not that disk.
  if (const auto size = raw_device::media_size(device->get()); size && *size != job.target.size) {
    return std::unexpected(identity_mismatch());
  }

  auto page_buffer = PageBuffer::allocate(write::kChunkSize);  // the one buffer the image streams through
  if (!page_buffer) return std::unexpected(std::move(page_buffer.error()));
  const std::span<std::byte> buffer = page_buffer->room();
  std::uint64_t copied = 0;
  while (copied < count) {
    if (cancel.load(std::memory_order_acquire)) {
      progress(WritePhase::of(WritePhase::Kind::Cancelled));
      return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    }
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, buffer.size()));
    const auto chunk = buffer.first(length);
    if (auto read = read_exactly(image->get(), chunk); !read) return read;
    if (auto written = write_chunk(disk, device->get(), chunk); !written) return written;
    copied += length;
    progress(WritePhase::writing(copied, count));
  }
  return flush_device(device->get());
}

// Hashes exactly `count` bytes read back from the start of the device.
Result<std::string> RawDiskBackend::read_back(const RawDisk& disk, std::uint64_t count) const {
  UniqueFd device(::open(disk.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(last_os_error());
  if (::lseek(device.get(), 0, SEEK_SET) != 0) return std::unexpected(last_os_error());
  return checksum::sha256_reader(device.get(), count);
}

}  // namespace kelmar_vindle::helper
