#include "macos_raw.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "child_process.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/revalidation.hpp"
#include "kelmar_vindle/file_io.hpp"
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

// Streams `count` bytes of the image onto the device from offset 0 through
// one 1 MiB buffer, checking for cancellation before every chunk.
Result<void> copy_image(const std::filesystem::path& image_path, const std::string& device_path, std::uint64_t count,
                        std::uint64_t target_size, const std::atomic<bool>& cancel, ProgressFn& progress) {
  auto image = open_image(image_path);
  if (!image) return std::unexpected(std::move(image.error()));
  UniqueFd device(::open(device_path.c_str(), O_RDWR | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(Error::io("open " + device_path + ": " + os_error_text(errno)));
  // A device whose size is not the confirmed disk's is not that disk.
  if (const auto size = raw_device::media_size(device.get()); size && *size != target_size) {
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
    if (auto written = write_all(device.get(), chunk); !written) return written;
    copied += length;
    progress(WritePhase::writing(copied, count));
  }
  return flush_device(device.get());
}

// Hashes exactly `count` bytes read back from the start of the device.
Result<std::string> verify_device(const std::string& device_path, std::uint64_t count,
                                  const std::string& expected_sha256) {
  UniqueFd device(::open(device_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(last_os_error());
  if (::lseek(device.get(), 0, SEEK_SET) != 0) return std::unexpected(last_os_error());
  auto digest = checksum::sha256_reader(device.get(), count);
  if (!digest) return digest;
  if (*digest != expected_sha256) {
    return std::unexpected(Error::make<ErrorKind::VerifyMismatch>(expected_sha256, std::move(*digest)));
  }
  return digest;
}

}  // namespace

Result<std::string> MacosRawBackend::write_and_verify(const WriteJob& job, std::span<const std::byte> /*image*/,
                                                      const std::atomic<bool>& cancel, ProgressFn& progress) const {
  return write_job(job, cancel, progress);
}

Result<std::string> MacosRawBackend::write_job(const WriteJob& job, const std::atomic<bool>& cancel,
                                               ProgressFn& progress) const {
  if (auto checked = preflight(job); !checked) return std::unexpected(std::move(checked.error()));
  if (!settings_.allow_real_write) return std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());

  progress(WritePhase::of(WritePhase::Kind::CheckingImage));
  if (auto image = write::check_image(job.image_path, job.expected_sha256, job.expected_size); !image) {
    return std::unexpected(std::move(image.error()));
  }
  const auto device_path = preflight(job);
  if (!device_path) return std::unexpected(device_path.error());
  // Hashing a large image takes minutes; the stick may have been swapped for
  // another under the same name meanwhile. Look again before unmounting.
  if (auto same = recheck_live_disk(job.target); !same) return std::unexpected(std::move(same.error()));
  if (auto unmounted = unmount(*job.target.mac_bsd_name); !unmounted) {
    return std::unexpected(std::move(unmounted.error()));
  }

  progress(WritePhase::writing(0, job.expected_size));
  if (auto copied = copy_image(job.image_path, *device_path, job.expected_size, job.target.size, cancel, progress);
      !copied) {
    return std::unexpected(std::move(copied.error()));
  }
  progress(WritePhase::of(WritePhase::Kind::Written));
  progress(WritePhase::of(WritePhase::Kind::Verifying));
  auto digest = verify_device(*device_path, job.expected_size, job.expected_sha256);
  if (!digest) return digest;
  progress(WritePhase::of(WritePhase::Kind::Verified));
  return digest;
}

Result<std::string> MacosRawBackend::preflight(const WriteJob& job) const {
  const DeviceIdentity& target = job.target;
  if (target.is_system) return std::unexpected(Error::make<ErrorKind::RejectedSystem>());
  if (target.bus != Bus::Usb) return std::unexpected(Error::make<ErrorKind::RejectedNotUsb>());
  if (target.serial == kRefusedSerial) return std::unexpected(identity_mismatch());
  if (auto rule = check_identity_rule(target); !rule) return std::unexpected(std::move(rule.error()));
  if (!target.mac_bsd_name) return std::unexpected(identity_mismatch());
  return rdisk_path(*target.mac_bsd_name);
}

Result<void> MacosRawBackend::check_identity_rule(const DeviceIdentity& target) const {
  bool passes = false;
  if (settings_.purchaser) {
    passes = !target.serial.empty() &&
             (settings_.expected_serial.empty() || target.serial == settings_.expected_serial) &&
             (settings_.expected_size == 0 || target.size == settings_.expected_size) && target.size != 0;
  } else {
    // Only the built-in test device, and only when start-up configured it.
    passes = target.serial == settings_.expected_serial && target.serial == kTestDeviceSerial &&
             target.size == kTestDeviceSize && settings_.expected_size == kTestDeviceSize;
  }
  if (!passes) return std::unexpected(identity_mismatch());
  return {};
}

Result<std::string> MacosRawBackend::rdisk_path(std::string_view bsd_name) const {
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

Result<void> MacosRawBackend::recheck_live_disk(const DeviceIdentity& target) const {
  const auto live = live_disks_.list();
  if (!live) return std::unexpected(live.error());
  const auto resolved = revalidate_against_live(target, *live);
  if (!resolved) return std::unexpected(resolved.error());
  if (resolved->identity.mac_bsd_name != target.mac_bsd_name) return std::unexpected(identity_mismatch());
  return {};
}

Result<void> MacosRawBackend::unmount(const std::string& bsd_name) const {
  const auto outcome =
      run_captured(paths_.disk_utility, {"unmountDisk", "force", paths_.device_directory + "/" + bsd_name});
  if (!outcome) return std::unexpected(outcome.error());
  if (!outcome->succeeded()) {
    return std::unexpected(Error::io("unmountDisk failed: " + text::decode_utf8_lossy(outcome->err)));
  }
  return {};
}

}  // namespace kelmar_vindle::helper
