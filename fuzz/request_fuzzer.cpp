// libFuzzer target: one request line through the helper's request path
// (decoding, dispatch, revalidation, the file sink), as a client could send
// it. The disk list is a mock list with one stick; the sink and a small image
// live in a temporary directory made once per process.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/json.hpp"
#include "line_transports.hpp"

namespace {

using namespace kelmar_vindle;

// The fixed world every input meets. Seed requests name /tmp/kv_fuzz/image.iso,
// so the directory is fixed too.
struct World {
  World() {
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "image.iso") << "kelmar vindle fuzz image\n";
  }
  const std::filesystem::path directory = "/tmp/kv_fuzz";
  MockEnumerator disks{[] {
    DeviceCandidate stick;
    stick.identity = {"vindle-1", "FUZZ0001", "Acme", "Stick",      0x1234,  0x5678,
                      1048576,    Bus::Usb,   false,  std::nullopt, "disk4", std::nullopt};
    return std::vector<DeviceCandidate>{candidate_from_identity(stick.identity)};
  }()};
  MockFileBackend sink{directory / "sink.img"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const World world;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string reply = helper::handle_line(text, world.disks, world.sink);
  // Whatever came in, exactly one compact JSON line goes out.
  if (reply.empty() || reply.find('\n') != std::string::npos || !json::parse(reply, json::DuplicateMembers::LastWins)) {
    std::abort();
  }
  return 0;
}
