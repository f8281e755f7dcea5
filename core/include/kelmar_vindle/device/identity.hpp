// What identifies a disk across time, and the id derived from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kelmar_vindle/device/bus.hpp"
#include "kelmar_vindle/json.hpp"

namespace kelmar_vindle {

// Field order is the JSON member order and the positional form's order.
struct DeviceIdentity {
  std::string scheme;   // tag of the identity scheme; nothing compares it
  std::string serial;   // empty when the device reports none
  std::string vendor;   // as the platform reports it, untrimmed
  std::string product;  // as the platform reports it, untrimmed
  std::optional<std::uint16_t> vendor_id;
  std::optional<std::uint16_t> product_id;
  std::uint64_t size = 0;  // media size in bytes
  Bus bus = Bus::Other;
  bool is_system = false;
  std::optional<std::uint32_t> win_disk_number;  // carried, never interpreted here
  std::optional<std::string> mac_bsd_name;       // whole disk, without "/dev/"
  // Linux: the kernel's name of the whole disk ("sdb"), without "/dev/".
  std::optional<std::string> linux_dev_name;

  // "usb:serial:{serial}" when there is a serial; else, with both USB ids,
  // "usb:weak:{vid:04x}:{pid:04x}:{size}"; else
  // "usb:anon:{sanitized vendor}:{sanitized product}:{size}".
  std::string stable_id() const;

  friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// Reads the object form (any member order, unknown members ignored; optional
// members absent or null are none) or the positional form, of eleven elements
// or twelve with `linux_dev_name`.
[[nodiscard]] json::Read<DeviceIdentity> read_device_identity(const json::Value& value);

// Writes the eleven members up to `mac_bsd_name` in declaration order, absent
// optionals as null, then `linux_dev_name` only when present.
void write_device_identity(json::Writer& out, const DeviceIdentity& identity);

}  // namespace kelmar_vindle
