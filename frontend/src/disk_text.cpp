#include "disk_text.hpp"

#include "kelmar_vindle/device/eligibility.hpp"
#include "kelmar_vindle/text.hpp"
#include "units.hpp"

namespace kelmar_vindle::frontend {

std::string printable(std::string_view text) {
  std::string out(text::trim_unicode_whitespace(text));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out.empty() ? "-" : out;
}

std::optional<std::string> refusal_reason(const DeviceCandidate& disk) {
  const auto refusal = write_refusal(disk);
  if (!refusal) return std::nullopt;
  switch (refusal->kind()) {
    case ErrorKind::RejectedSystem: return "system or internal disk";
    case ErrorKind::RejectedNotUsb: return "not a USB disk";
    case ErrorKind::DeviceIdentityMismatch: return disk.identity.serial.empty() ? "no serial number" : "size unknown";
    default: return refusal->text();
  }
}

std::string describe(const DeviceCandidate& disk) {
  return printable(disk.vendor + " " + disk.product) + ", " + human_size(disk.size) + ", serial " +
         printable(disk.serial);
}

}  // namespace kelmar_vindle::frontend
