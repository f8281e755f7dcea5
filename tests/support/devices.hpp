// Sample disks for tests, and the mock device list file form of a list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelmar_vindle/device.hpp"

namespace kelmar_vindle::testing {

// An eligible USB stick whose top-level fields mirror its identity.
DeviceCandidate usb_stick(std::string serial, std::string bsd_name = "disk4", std::uint64_t size = 64'000'000);

// The JSON text of a mock device list holding `devices`.
std::string mock_list_text(const std::vector<DeviceCandidate>& devices);

// One request line (with its line feed) whose job writes `image_path`,
// expected to hold `image`, onto `target`.
std::string request_line(std::string_view command, const std::string& image_path, std::string_view image,
                         const DeviceIdentity& target);

}  // namespace kelmar_vindle::testing
