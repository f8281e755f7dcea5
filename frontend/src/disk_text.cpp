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

namespace {

// "0x1af4", "4660": an identifier the system had no name for.
bool is_number(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
  }
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string shown_vendor(const DeviceCandidate& disk) {
  const std::string vendor = printable(disk.vendor);
  return is_number(vendor) ? "-" : vendor;
}

std::string shown_bus(const DeviceCandidate& disk) {
  if (disk.bus != Bus::Other) return std::string(bus_name(disk.bus));
  const auto& name = disk.identity.linux_dev_name;
  // The kernel names virtio block disks vda, vdb, ...
  if (name && name->starts_with("vd")) return "virtio";
  return "-";
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
  const std::string vendor = shown_vendor(disk);
  const std::string label = vendor == "-" ? printable(disk.product) : printable(vendor + " " + disk.product);
  return label + ", " + human_size(disk.size) + ", serial " + printable(disk.serial);
}

}  // namespace kelmar_vindle::frontend
