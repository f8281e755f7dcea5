// Disks as an enumerator sees them right now.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/device/bus.hpp"
#include "kelmar_vindle/device/identity.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/json.hpp"

namespace kelmar_vindle {

// One attached disk. The top-level fields normally mirror `identity`, but a
// mock list may set them independently, and revalidation reads both.
struct DeviceCandidate {
  std::string id;
  std::string vendor;
  std::string product;
  std::string serial;
  std::uint64_t size = 0;
  Bus bus = Bus::Other;
  bool is_system = false;
  bool is_usb = false;
  DeviceIdentity identity;

  friend bool operator==(const DeviceCandidate&, const DeviceCandidate&) = default;
};

// A source of the disks attached right now.
class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  // An owned list, in the source's order. Takes the enumerator read-only.
  [[nodiscard]] virtual Result<std::vector<DeviceCandidate>> list() const = 0;
};

// The candidate a platform list gives for a disk: the top-level fields copied
// from `identity`, `id` its stable id, `is_usb` whether its bus is USB.
DeviceCandidate candidate_from_identity(DeviceIdentity identity);

// Maps a platform protocol name to a transport, folding ASCII case only and
// trimming nothing; anything unrecognised is `Bus::Other`.
Bus protocol_to_bus(std::string_view protocol);

// All nine members are required.
[[nodiscard]] json::Read<DeviceCandidate> read_device_candidate(const json::Value& value);

// Writes the nine members in declaration order, `identity` nested.
void write_device_candidate(json::Writer& out, const DeviceCandidate& candidate);

// A list as one compact JSON array of candidates, on one line: the form
// `read_mock_device_list` takes back.
std::string encode_device_list(const std::vector<DeviceCandidate>& devices);

// Decodes a mock device list: one JSON array of candidates, read straight from
// the text, so a field given twice in a record is refused. File order and
// duplicates are kept; nothing is checked beyond the JSON form.
[[nodiscard]] json::Read<std::vector<DeviceCandidate>> read_mock_device_list(std::string_view text);

}  // namespace kelmar_vindle
