#include "kelmar_vindle/job.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

namespace kelmar_vindle {
namespace {

const std::string kHash(64, 'a');

WriteJob shaped_job() {
  WriteJob job;
  job.job_id = "job-1";
  job.image_path = "/images/x.iso";
  job.expected_sha256 = kHash;
  job.expected_size = 1;
  job.write_mode = "raw-dd-hybrid";
  return job;
}

TEST(JobShape, FirstFailingTestIsReportedAsProtocolError) {
  struct Case {
    std::string_view what;
    WriteJob job;
    std::string_view detail;  // empty: the job is well-shaped
  };
  const auto job = [](auto change) {
    WriteJob j = shaped_job();
    change(j);
    return j;
  };
  const Case cases[] = {
      {"well-shaped", shaped_job(), ""},
      {"empty id", job([](WriteJob& j) { j.job_id.clear(); }), "job_id is empty"},
      {"id of one space passes", job([](WriteJob& j) { j.job_id = " "; }), ""},
      {"mode case", job([](WriteJob& j) { j.write_mode = "RAW-DD-HYBRID"; }),
       "write_mode must be raw-dd-hybrid, got RAW-DD-HYBRID"},
      {"mode empty", job([](WriteJob& j) { j.write_mode.clear(); }), "write_mode must be raw-dd-hybrid, got "},
      {"hash 63", job([](WriteJob& j) { j.expected_sha256.pop_back(); }), "expected_sha256 invalid"},
      {"hash 65", job([](WriteJob& j) { j.expected_sha256 += 'a'; }), "expected_sha256 invalid"},
      {"hash 64 z passes", job([](WriteJob& j) { j.expected_sha256 = std::string(64, 'z'); }), ""},
      {"size 0", job([](WriteJob& j) { j.expected_size = 0; }), "expected_size is 0"},
      {"hash before size", job([](WriteJob& j) { j.expected_size = 0, j.expected_sha256 = "0123456789"; }),
       "expected_sha256 invalid"},
      {"id before all", job([](WriteJob& j) { j = WriteJob{}, j.write_mode = "x"; }), "job_id is empty"},
      {"empty path passes", job([](WriteJob& j) { j.image_path.clear(); }), ""},
      {"decoded hash passes", job([](WriteJob& j) { j.expected_decoded_sha256 = std::string(64, 'f'); }), ""},
      {"decoded hash upper case", job([](WriteJob& j) { j.expected_decoded_sha256 = std::string(64, 'F'); }),
       "expected_decoded_sha256 invalid"},
      {"decoded hash 63", job([](WriteJob& j) { j.expected_decoded_sha256 = std::string(63, 'a'); }),
       "expected_decoded_sha256 invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto shape = c.job.validate_shape();
    if (c.detail.empty()) {
      EXPECT_TRUE(shape.has_value()) << shape.error().text();
      continue;
    }
    ASSERT_FALSE(shape.has_value());
    EXPECT_EQ(shape.error(), Error::protocol(std::string(c.detail)));
    EXPECT_EQ(shape.error().code(), ErrorCode::Protocol);
  }
}

const std::string kTarget =
    R"({"scheme":"vindle-1","serial":"S","vendor":"V","product":"P","size":9,"bus":"usb","is_system":false})";

std::string job_text(std::string_view dry_run = R"("dry_run":false)") {
  return R"({"job_id":"j","image_path":"/tmp/a b.iso","expected_sha256":")" + kHash +
         R"(","expected_size":9,"write_mode":"raw-dd-hybrid","target":)" + kTarget +
         R"(,"confirmed_label":"My Stick",)" + std::string(dry_run) + "}";
}

json::Read<WriteJob> read(std::string_view text) {
  return read_write_job(*json::parse(text, json::DuplicateMembers::LastWins));
}

TEST(JobJson, ReadsObjectAndPositionalForms) {
  auto job = read(job_text(R"("dry_run":true,"note":"ignored")"));
  ASSERT_TRUE(job) << job.error();
  EXPECT_EQ(job->image_path, "/tmp/a b.iso");
  EXPECT_EQ(job->confirmed_label, "My Stick");
  EXPECT_EQ(job->target.serial, "S");
  EXPECT_TRUE(job->dry_run);

  auto positional =
      read(R"(["j","/tmp/a b.iso",")" + kHash + R"(",9,"raw-dd-hybrid",)" + kTarget + R"(,"My Stick",true])");
  ASSERT_TRUE(positional) << positional.error();
  EXPECT_EQ(*positional, *job);
}

TEST(JobJson, RefusesMissingNullAndMistypedMembers) {
  struct Case {
    std::string text;
    std::string_view message;
  };
  const Case cases[] = {
      {job_text(R"("x":1)"), "missing field `dry_run`"},
      {job_text(R"("dry_run":null)"), "invalid type: null, expected a boolean"},
      {R"({"image_path":"p"})", "missing field `job_id`"},
      {R"({"job_id":"j","expected_size":-1})", "invalid value: integer `-1`, expected u64"},
      {R"({"job_id":"j","expected_size":1.5})", "invalid type: floating point `1.5`, expected u64"},
      {R"({"job_id":"j","image_path":7})", "invalid type: integer `7`, expected a string"},
      {R"({"target":"disk2"})", "invalid type: string \"disk2\", expected struct DeviceIdentity"},
      {R"(["j","p"])", "invalid length 2, expected struct WriteJob with 8 elements"},
      {"true", "invalid type: boolean `true`, expected struct WriteJob"},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.text).error(), c.message) << c.text;
}

TEST(JobJson, RepeatedMemberKeepsItsLastValueInsideRequests) {
  auto job = read(job_text(R"("dry_run":true,"dry_run":false)"));
  ASSERT_TRUE(job) << job.error();
  EXPECT_FALSE(job->dry_run);
}

}  // namespace
}  // namespace kelmar_vindle
