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

// The vendor as a person reads it: "-" when the system gives only a number
// (a virtio disk's PCI vendor "0x1af4"), never a number as a name.
std::string shown_vendor(const DeviceCandidate& disk);

// The bus as lsblk's TRAN column names it: the wire name, except that a
// bus the system does not name ("other") shows the kernel's driver where
// the disk's name tells it ("virtio" for a Linux vdX disk) and "-" where not.
std::string shown_bus(const DeviceCandidate& disk);

// Why the helper would refuse to write the disk whatever the job (core
// `write_refusal`), in the words of the disk list: "system or internal
// disk", "not a USB disk", "no serial number", "size unknown". None when it
// may be written.
std::optional<std::string> refusal_reason(const DeviceCandidate& disk);

// "Acme Stick 32, 28.9 GiB, serial AC0E5717C4A91B02".
std::string describe(const DeviceCandidate& disk);

}  // namespace kelmar_vindle::frontend
