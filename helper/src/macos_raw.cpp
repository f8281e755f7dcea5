#include "macos_raw.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "child_process.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/text.hpp"
#include "kelmar_vindle/write/whole_blocks.hpp"
#include "raw_device.hpp"

namespace kelmar_vindle::helper {

Result<write::Disk> MacosDisks::locate(const DeviceIdentity& target) const {
  if (!target.mac_bsd_name) return std::unexpected(Error::make<ErrorKind::DeviceIdentityMismatch>());
  auto path = rdisk_path(*target.mac_bsd_name);
  if (!path) return std::unexpected(std::move(path.error()));
  return write::Disk{*target.mac_bsd_name, std::move(*path), target.size};
}

Result<std::string> MacosDisks::rdisk_path(std::string_view bsd_name) const {
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

Result<std::unique_ptr<write::DiskHold>> MacosDisks::hold(const write::Disk& disk) const {
  return disk_arbitration::hold_whole_disk(disk.name, arbitration_bound_);
}

Result<void> MacosDisks::prepare(const write::Disk& disk) const {
  const auto outcome =
      run_captured(paths_.disk_utility, {"unmountDisk", "force", paths_.device_directory + "/" + disk.name});
  if (!outcome) return std::unexpected(outcome.error());
  if (!outcome->succeeded()) {
    return std::unexpected(Error::io("unmountDisk failed: " + text::decode_utf8_lossy(outcome->err)));
  }
  return {};
}

Result<UniqueFd> MacosDisks::open_for_writing(const write::Disk& disk) const {
  auto device = open_disk_node(disk, O_RDWR | raw_device::exclusive_open_flags());
  if (!device) return device;
  // Non-blocking only to take the hold at once: the transfers wait as usual.
  if (const int flags = ::fcntl(device->get(), F_GETFL);
      flags >= 0 && (flags & O_NONBLOCK) != 0 && ::fcntl(device->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(last_os_error());
  }
  return device;
}

std::size_t MacosDisks::transfer_unit(int fd) const { return raw_device::block_size(fd).value_or(1); }

Result<void> MacosDisks::write_chunk(int fd, std::span<const std::byte> chunk) const { return write_all(fd, chunk); }

Result<void> MacosDisks::flush(int fd) const { return flush_disk_node(fd); }

Result<std::string> MacosDisks::read_back(const write::Disk& disk, int /*written*/, std::uint64_t count,
                                          const checksum::HashStep& step) const {
  UniqueFd device(::open(disk.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) return std::unexpected(last_os_error());
  return write::sha256_in_blocks(device.get(), count, transfer_unit(device.get()), step);
}

Result<void> MacosDisks::eject(const write::Disk& disk) const {
  return disk_arbitration::eject_whole_disk(disk.name, arbitration_bound_);
}

}  // namespace kelmar_vindle::helper
