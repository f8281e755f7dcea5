#include "disk_faults.hpp"

#include <array>
#include <cerrno>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::helper {

std::string human_disk_bytes(std::uint64_t bytes) {
  constexpr std::array<std::string_view, 5> kUnits{"kB", "MB", "GB", "TB", "PB"};
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  // Tenths of the largest unit that keeps the figure at 1.0 or more.
  std::uint64_t scale = 1000;
  std::size_t unit = 0;
  while (unit + 1 < kUnits.size() && bytes / scale >= 1000) {
    scale *= 1000;
    ++unit;
  }
  const std::uint64_t tenths = bytes / (scale / 10);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + std::string(kUnits[unit]);
}

std::string image_too_large_text(std::uint64_t image_size, std::string_view disk, std::uint64_t disk_size) {
  return "the image (" + human_disk_bytes(image_size) + ") does not fit on " + std::string(disk) + " (" +
         human_disk_bytes(disk_size) + ")";
}

Error disk_fault_error(const DiskFault& fault) {
  const bool writing = fault.step != DiskStep::Verifying;
  if (fault.gone || fault.error == ENODEV || fault.error == ENXIO) {
    return Error::io(writing ? "the disk went away while writing" : "the disk went away while verifying");
  }
  std::string where;
  switch (fault.step) {
    case DiskStep::Writing: where = "write " + fault.path + " at " + human_disk_bytes(fault.offset); break;
    case DiskStep::Flushing: where = "flush " + fault.path; break;
    case DiskStep::Verifying: where = "read " + fault.path + " at " + human_disk_bytes(fault.offset); break;
  }
  // The system calls a write past a device's end "No space left on device",
  // which sends people looking for free space on their computer.
  if (fault.error == ENOSPC) return Error::io(where + ": the disk ended there");
  return Error::io(where + ": " + (fault.error != 0 ? os_error_text(fault.error) : fault.system_text));
}

Error write_protected_error() { return Error::io("the disk is write-protected"); }

}  // namespace kelmar_vindle::helper
