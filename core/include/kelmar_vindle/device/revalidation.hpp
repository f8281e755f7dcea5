// Re-identifying the disk the user confirmed among the disks attached now.
#pragma once

#include <span>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/device/identity.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// Finds the one live disk that `expected` designates and checks that it may
// be written. A live disk matches when both identities are on USB with equal
// size and either the (non-empty) serials are equal, or, for an identity
// without serial, neither has a serial and vendor id (required), product id,
// vendor and product are all equal. BSD names take no part, so a re-plugged
// disk still matches and the returned copy carries its current name.
//
// Fails with `DeviceGone` (empty list), `DeviceIdentityMismatch` (no match),
// `DeviceAmbiguous` (several matches), `RejectedSystem` or `RejectedNotUsb`
// (the one match, judged by its own flags and, for system disks, also by its
// identity's).
[[nodiscard]] Result<DeviceCandidate> revalidate_against_live(const DeviceIdentity& expected,
                                                              std::span<const DeviceCandidate> live);

}  // namespace kelmar_vindle
