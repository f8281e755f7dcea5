#include "kelmar_vindle/job.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace kelmar_vindle {
namespace {

constexpr std::array<json::FieldSpec, 9> kJobFields{{
    {"job_id", true},
    {"image_path", true},
    {"expected_sha256", true},
    {"expected_size", true},
    {"write_mode", true},
    {"target", true},
    {"confirmed_label", true},
    {"dry_run", true},
    {"expected_decoded_sha256", false, true},
}};

bool is_lower_hex_digest(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

Result<void> WriteJob::validate_shape() const {
  if (job_id.empty()) return std::unexpected(Error::protocol("job_id is empty"));
  if (write_mode != kRawDdHybrid)
    return std::unexpected(Error::protocol("write_mode must be raw-dd-hybrid, got " + write_mode));
  if (expected_sha256.size() != 64) return std::unexpected(Error::protocol("expected_sha256 invalid"));
  if (expected_size == 0) return std::unexpected(Error::protocol("expected_size is 0"));
  if (!expected_decoded_sha256.empty() && !is_lower_hex_digest(expected_decoded_sha256)) {
    return std::unexpected(Error::protocol("expected_decoded_sha256 invalid"));
  }
  return {};
}

json::Read<WriteJob> read_write_job(const json::Value& value) {
  WriteJob job;
  auto read = json::read_record(value, "struct WriteJob", kJobFields,
                                [&](std::size_t field, const json::Value& member) -> json::Read<void> {
                                  switch (field) {
                                    case 0: return json::assign(job.job_id, json::read_string(member));
                                    case 1: {
                                      auto path = json::read_string(member);
                                      if (!path) return std::unexpected(std::move(path.error()));
                                      job.image_path = std::filesystem::path(std::move(*path));
                                      return {};
                                    }
                                    case 2: return json::assign(job.expected_sha256, json::read_string(member));
                                    case 3: return json::assign(job.expected_size, json::read_u64(member));
                                    case 4: return json::assign(job.write_mode, json::read_string(member));
                                    case 5: return json::assign(job.target, read_device_identity(member));
                                    case 6: return json::assign(job.confirmed_label, json::read_string(member));
                                    case 7: return json::assign(job.dry_run, json::read_bool(member));
                                    default:
                                      return json::assign(job.expected_decoded_sha256, json::read_string(member));
                                  }
                                });
  if (!read) return std::unexpected(std::move(read.error()));
  return job;
}

void write_write_job(json::Writer& out, const WriteJob& job) {
  out.begin_object();
  out.key("job_id").string(job.job_id);
  out.key("image_path").string(job.image_path.string());
  out.key("expected_sha256").string(job.expected_sha256);
  out.key("expected_size").number(job.expected_size);
  out.key("write_mode").string(job.write_mode);
  out.key("target");
  write_device_identity(out, job.target);
  out.key("confirmed_label").string(job.confirmed_label);
  out.key("dry_run").boolean(job.dry_run);
  if (!job.expected_decoded_sha256.empty()) out.key("expected_decoded_sha256").string(job.expected_decoded_sha256);
  out.end_object();
}

}  // namespace kelmar_vindle
