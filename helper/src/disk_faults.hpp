// What a failed transfer on a disk tells the person writing it: the disk's
// node, where on it, and the system's words, or plainly that the disk went
// away or is write-protected. Texts only: the host's raw disks decide which
// fault they met (see linux_raw.cpp). Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper {

// A position or size on a disk in decimal units, as disks are sold: "512
// bytes", "4.2 MB", "1.2 GB" (one decimal, rounded down).
[[nodiscard]] std::string human_disk_bytes(std::uint64_t bytes);

// "the image (16.8 MB) does not fit on sdb (8.4 MB)".
[[nodiscard]] std::string image_too_large_text(std::uint64_t image_size, std::string_view disk,
                                               std::uint64_t disk_size);

// Which transfer failed.
enum class DiskStep : std::uint8_t { Writing, Flushing, Verifying };

struct DiskFault {
  DiskStep step = DiskStep::Writing;
  std::string path;          // the disk's node
  std::uint64_t offset = 0;  // where the failed transfer began
  int error = 0;             // the system's error number; 0 when only `system_text` is known
  std::string system_text;   // "{description} (os error {n})", for `error` 0
  bool gone = false;         // the disk is no longer attached
};

// The `Io` error of `fault`: "the disk went away while writing" (or "while
// verifying") when it is gone or the system says there is no such device
// (ENODEV, ENXIO); a write past the disk's end (ENOSPC) "write {path} at
// {offset}: the disk ended there", never the system's words about space left;
// else "write {path} at {offset}: {system text}" ("flush {path}: ...",
// "read {path} at {offset}: ...").
[[nodiscard]] Error disk_fault_error(const DiskFault& fault);

// "the disk is write-protected", as `Io`.
[[nodiscard]] Error write_protected_error();

}  // namespace kelmar_vindle::helper
