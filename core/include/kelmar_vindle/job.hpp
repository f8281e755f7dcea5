// The unit of work the desktop application asks the helper to check or run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "kelmar_vindle/device/identity.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/json.hpp"

namespace kelmar_vindle {

inline constexpr std::string_view kRawDdHybrid = "raw-dd-hybrid";

// Field order is the JSON member order and the positional form's order.
struct WriteJob {
  std::string job_id;
  std::filesystem::path image_path;  // the JSON string's bytes, as given
  std::string expected_sha256;       // 64 lower-case hex characters when well-formed
  std::uint64_t expected_size = 0;
  std::string write_mode;
  DeviceIdentity target;        // the disk the user confirmed
  std::string confirmed_label;  // carried, never interpreted
  bool dry_run = false;
  // Optional: the digest the image must have once decoded (a compressed
  // image's, or a plain image's own); empty when not given.
  std::string expected_decoded_sha256;

  // Checks, in this order, that `job_id` is not empty, that `write_mode` is
  // exactly "raw-dd-hybrid", that `expected_sha256` is 64 bytes long, that
  // `expected_size` is not 0 and that an `expected_decoded_sha256` is 64
  // lower-case hexadecimal digits. Reports the first failure as a protocol
  // error; touches no file or device.
  [[nodiscard]] Result<void> validate_shape() const;

  friend bool operator==(const WriteJob&, const WriteJob&) = default;
};

// The first eight members required, none nullable; `expected_decoded_sha256`
// optional (a positional form may end before it).
[[nodiscard]] json::Read<WriteJob> read_write_job(const json::Value& value);

// Writes the members in declaration order, `target` nested, and
// `expected_decoded_sha256` only when given; the form `read_write_job`
// takes back.
void write_write_job(json::Writer& out, const WriteJob& job);

}  // namespace kelmar_vindle
