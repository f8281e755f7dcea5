// How the front end names a disk and its refusal to the user.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelmar_vindle/device.hpp"

namespace kelmar_vindle::frontend {

// A platform's text made fit for one terminal line: white space trimmed,
// control characters shown as '?', and "-" for nothing at all.
std::string printable(std::string_view text);

// Why the helper would refuse to write the disk whatever the job (core
// `write_refusal`), in the words of the disk list: "system or internal
// disk", "not a USB disk", "no serial number", "size unknown". None when it
// may be written.
std::optional<std::string> refusal_reason(const DeviceCandidate& disk);

// "Acme Stick 32, 31.0 GB, serial AC0E5717C4A91B02".
std::string describe(const DeviceCandidate& disk);

}  // namespace kelmar_vindle::frontend
