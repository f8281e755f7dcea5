// libFuzzer target: the mock device list reader, given any text, as a list
// file handed to --fixture could hold it. A list it accepts must write back
// and read again to the same disks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kelmar_vindle/device.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelmar_vindle;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto disks = read_mock_device_list(text);
  if (!disks) return 0;
  std::string text_again = "[";
  for (const auto& disk : *disks) {
    if (text_again.size() > 1) text_again += ",";
    json::Writer out;
    write_device_candidate(out, disk);
    text_again += out.take();
  }
  const auto again = read_mock_device_list(text_again + "]");
  if (!again || *again != *disks) std::abort();
  return 0;
}
