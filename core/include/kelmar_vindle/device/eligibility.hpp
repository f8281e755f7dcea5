// Whether a disk may be written at all, before any job is looked at.
#pragma once

#include <optional>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// Why the helper refuses to write this disk whatever the job asks, judged
// by the candidate alone, in this order: a system or internal disk (its own
// flag or its identity's) is `RejectedSystem`; a disk that is not on USB
// (`is_usb`, its bus or its identity's bus) is `RejectedNotUsb`; a disk whose
// identity has no serial number or size 0, which the purchaser interlock
// never writes, is `DeviceIdentityMismatch`. None when it may be written.
// Pure; reads nothing else.
[[nodiscard]] std::optional<Error> write_refusal(const DeviceCandidate& disk);

}  // namespace kelmar_vindle
