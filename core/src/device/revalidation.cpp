#include "kelmar_vindle/device/revalidation.hpp"

#include "kelmar_vindle/device/eligibility.hpp"

namespace kelmar_vindle {
namespace {

// Compares with the candidate's identity only, never its top-level fields.
bool designates(const DeviceIdentity& expected, const DeviceIdentity& live) {
  if (expected.bus != Bus::Usb || live.bus != Bus::Usb) return false;
  if (expected.size != live.size) return false;
  if (!expected.serial.empty()) return live.serial == expected.serial;
  // The weak identity: without a serial, the vendor id is what anchors it.
  return live.serial.empty() && expected.vendor_id.has_value() && live.vendor_id == expected.vendor_id &&
         live.product_id == expected.product_id && live.vendor == expected.vendor && live.product == expected.product;
}

}  // namespace

Result<DeviceCandidate> revalidate_against_live(const DeviceIdentity& expected, std::span<const DeviceCandidate> live) {
  const DeviceCandidate* match = nullptr;
  for (const DeviceCandidate& candidate : live) {
    if (!designates(expected, candidate.identity)) continue;
    if (match != nullptr) return std::unexpected(Error::make<ErrorKind::DeviceAmbiguous>());
    match = &candidate;
  }
  if (match == nullptr) {
    if (live.empty()) return std::unexpected(Error::make<ErrorKind::DeviceGone>());
    return std::unexpected(Error::make<ErrorKind::DeviceIdentityMismatch>());
  }
  // A disk without a serial may still be re-identified by its weak identity;
  // refusing it is the interlock's part, so only the system and bus
  // refusals (which come first) apply here.
  if (auto refusal = write_refusal(*match); refusal && refusal->kind() != ErrorKind::DeviceIdentityMismatch) {
    return std::unexpected(std::move(*refusal));
  }
  return *match;
}

}  // namespace kelmar_vindle
