#include "kelmar_vindle/authorization.hpp"

#include <array>
#include <cstdio>

#include "kelmar_vindle/device/lookup.hpp"
#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle {
namespace {

// Longest vendor or product text shown; a device may report anything.
constexpr std::size_t kMaxNameBytes = 64;

// Printable ASCII only, white space trimmed, at most `kMaxNameBytes`: the
// strings come from the disk's firmware and end up in a password prompt.
std::string shown(std::string_view reported) {
  std::string out;
  for (const char c : text::trim_unicode_whitespace(reported)) {
    if (out.size() == kMaxNameBytes) break;
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(byte >= 0x20 && byte < 0x7f ? c : '?');
  }
  return out;
}

}  // namespace

std::string decimal_size(std::uint64_t bytes) {
  constexpr std::array<const char*, 6> kUnits{"kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return std::to_string(bytes) + " B";
  auto value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  // 999.96 kB would print as "1000.0 kB": take the next unit from there on.
  while (value >= 999.95 && unit + 1 < kUnits.size()) {
    value /= 1000.0;
    ++unit;
  }
  std::array<char, 32> out{};
  std::snprintf(out.data(), out.size(), "%.1f %s", value, kUnits[unit]);
  return out.data();
}

WriteAuthorizationRequest authorization_request(const PeerProcess& subject, const DeviceCandidate& disk) {
  const bool has_node = disk.identity.linux_dev_name || disk.identity.mac_bsd_name;
  const std::string device = has_node ? "/dev/" + shown(disk_name(disk)) : shown(disk.id);
  std::string label = shown(disk.vendor);
  const std::string product = shown(disk.product);
  if (!label.empty() && !product.empty()) label += ' ';
  label += product;
  std::string drive = label.empty() ? std::string() : label + ", ";
  drive += decimal_size(disk.size) + ", " + device;
  return {subject, device, std::move(drive)};
}

}  // namespace kelmar_vindle
