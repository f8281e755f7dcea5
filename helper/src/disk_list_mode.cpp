#include "disk_list_mode.hpp"

#include <unistd.h>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::helper {

TextResult<> print_disk_list(const DeviceSnapshot& source) {
  const auto live = source.list();
  if (!live) return std::unexpected(live.error().text());
  if (auto written = write_all(STDOUT_FILENO, encode_device_list(*live) + "\n"); !written) {
    return std::unexpected(written.error().detail());
  }
  return {};
}

}  // namespace kelmar_vindle::helper
