#include "kelmar_vindle/device/identity.hpp"

#include <array>
#include <cstdio>

namespace kelmar_vindle {
namespace {

bool is_ascii_alphanumeric(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// One "_" for every character (Unicode scalar, not byte) that is not an ASCII
// letter or digit. Bytes that continue a multi-byte UTF-8 sequence belong to
// the character already replaced; a stray byte counts as a character of its own.
std::string sanitize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (is_ascii_alphanumeric(c)) {
      out += static_cast<char>(c);
      continue;
    }
    out += '_';
    std::size_t length = 1;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
    }
    for (std::size_t k = 1; k < length && i + 1 < text.size(); ++k) {
      if ((static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80) break;
      ++i;
    }
  }
  return out;
}

std::string hex4(std::uint16_t value) {
  std::array<char, 8> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%04x", static_cast<unsigned>(value));
  return buffer.data();
}

constexpr std::array<json::FieldSpec, 12> kIdentityFields{{
    {"scheme", true},
    {"serial", true},
    {"vendor", true},
    {"product", true},
    {"vendor_id", false},
    {"product_id", false},
    {"size", true},
    {"bus", true},
    {"is_system", true},
    {"win_disk_number", false},
    {"mac_bsd_name", false},
    {"linux_dev_name", false, true},
}};

}  // namespace

std::string DeviceIdentity::stable_id() const {
  if (!serial.empty()) return "usb:serial:" + serial;
  if (vendor_id && product_id) {
    return "usb:weak:" + hex4(*vendor_id) + ":" + hex4(*product_id) + ":" + std::to_string(size);
  }
  return "usb:anon:" + sanitize(vendor) + ":" + sanitize(product) + ":" + std::to_string(size);
}

json::Read<DeviceIdentity> read_device_identity(const json::Value& value) {
  DeviceIdentity id;
  auto read =
      json::read_record(value, "struct DeviceIdentity", kIdentityFields,
                        [&](std::size_t field, const json::Value& member) -> json::Read<void> {
                          switch (field) {
                            case 0: return json::assign(id.scheme, json::read_string(member));
                            case 1: return json::assign(id.serial, json::read_string(member));
                            case 2: return json::assign(id.vendor, json::read_string(member));
                            case 3: return json::assign(id.product, json::read_string(member));
                            case 4: return json::assign(id.vendor_id, json::read_optional(member, json::read_u16));
                            case 5: return json::assign(id.product_id, json::read_optional(member, json::read_u16));
                            case 6: return json::assign(id.size, json::read_u64(member));
                            case 7: return json::assign(id.bus, read_bus(member));
                            case 8: return json::assign(id.is_system, json::read_bool(member));
                            case 9:
                              return json::assign(id.win_disk_number, json::read_optional(member, json::read_u32));
                            case 10:
                              return json::assign(id.mac_bsd_name, json::read_optional(member, json::read_string));
                            default:
                              return json::assign(id.linux_dev_name, json::read_optional(member, json::read_string));
                          }
                        });
  if (!read) return std::unexpected(std::move(read.error()));
  return id;
}

void write_device_identity(json::Writer& out, const DeviceIdentity& identity) {
  const auto number = [](json::Writer& w, auto n) -> json::Writer& { return w.number(n); };
  out.begin_object();
  out.key("scheme").string(identity.scheme);
  out.key("serial").string(identity.serial);
  out.key("vendor").string(identity.vendor);
  out.key("product").string(identity.product);
  out.key("vendor_id").optional(identity.vendor_id, number);
  out.key("product_id").optional(identity.product_id, number);
  out.key("size").number(identity.size);
  out.key("bus").string(bus_name(identity.bus));
  out.key("is_system").boolean(identity.is_system);
  out.key("win_disk_number").optional(identity.win_disk_number, number);
  const auto text = [](json::Writer& w, const std::string& s) -> json::Writer& { return w.string(s); };
  out.key("mac_bsd_name").optional(identity.mac_bsd_name, text);
  // A Linux addition: left out when absent, so every other record keeps its
  // eleven members byte for byte.
  if (identity.linux_dev_name) out.key("linux_dev_name").string(*identity.linux_dev_name);
  out.end_object();
}

}  // namespace kelmar_vindle
