#include "kelmar_vindle/device/eligibility.hpp"

namespace kelmar_vindle {

std::optional<Error> write_refusal(const DeviceCandidate& disk) {
  if (disk.is_system || disk.identity.is_system) return Error::make<ErrorKind::RejectedSystem>();
  if (!disk.is_usb || disk.bus != Bus::Usb || disk.identity.bus != Bus::Usb) {
    return Error::make<ErrorKind::RejectedNotUsb>();
  }
  if (disk.identity.serial.empty() || disk.identity.size == 0) return Error::make<ErrorKind::DeviceIdentityMismatch>();
  return std::nullopt;
}

}  // namespace kelmar_vindle
