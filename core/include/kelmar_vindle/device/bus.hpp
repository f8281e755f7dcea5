// A disk's transport.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "kelmar_vindle/json.hpp"

namespace kelmar_vindle {

// Declaration order matters: `Usb` comes first and is the only transport the
// eligibility rules accept.
enum class Bus : std::uint8_t { Usb, Sata, Nvme, Thunderbolt, Other };

inline constexpr std::array<std::string_view, 5> kBusNames{"usb", "sata", "nvme", "thunderbolt", "other"};

// The lower-case wire name.
constexpr std::string_view bus_name(Bus bus) { return kBusNames[static_cast<std::size_t>(bus)]; }

// Exactly the five names (case-sensitive), or the `{"usb":null}` object form.
[[nodiscard]] json::Read<Bus> read_bus(const json::Value& value);

}  // namespace kelmar_vindle
