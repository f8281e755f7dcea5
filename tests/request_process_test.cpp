// Requests end to end through the real helper binary and its standard-input
// transport: mock disk lists and sink files in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::ProcessResult;
using testing::ProcessRun;
using testing::TempDir;

// An image of 2.5 MiB whose bytes are not all alike.
std::string sample_image() {
  std::string image(2'621'440, '\0');
  std::uint32_t x = 12345;
  for (char& c : image) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return image;
}

struct JobSpec {
  std::string job_id = "e2e-1";
  std::string image_path;
  std::string sha256;
  std::uint64_t size = 0;
  DeviceIdentity target;
  bool dry_run = false;

  std::string text() const {
    json::Writer target_text;
    write_device_identity(target_text, target);
    return R"({"job_id":)" + json::quote(job_id) + R"(,"image_path":)" + json::quote(image_path) +
           R"(,"expected_sha256":)" + json::quote(sha256) + R"(,"expected_size":)" + std::to_string(size) +
           R"(,"write_mode":"raw-dd-hybrid","target":)" + target_text.text() +
           R"(,"confirmed_label":"Acme Stick","dry_run":)" + (dry_run ? "true" : "false") + "}";
  }
};

std::string request(std::string_view cmd, const JobSpec& job) {
  return R"({"v":1,"cmd":")" + std::string(cmd) + R"(","job":)" + job.text() + "}\n";
}

class RequestThroughStdin : public ::testing::Test {
 protected:
  void SetUp() override {
    image_path = dir.write("image.iso", image);
    job.image_path = image_path.string();
    job.sha256 = checksum::sha256_hex(image);
    job.size = image.size();
    job.target = confirmed.identity;
    fixture = dir.write("devices.json", testing::mock_list_text({testing::usb_stick("OTHER", "disk2"), live}));
    sink = dir.path() / "out" / "usb.img";
  }

  // Runs the helper with `args` on one request and returns the parsed reply,
  // after checking that the process answered with exactly one line.
  json::Value ask(std::vector<std::string> args, const std::string& request_text) {
    const ProcessResult result = testing::run_helper({.args = std::move(args), .stdin_text = request_text});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    auto reply = json::parse(result.out, json::DuplicateMembers::LastWins);
    EXPECT_TRUE(reply.has_value()) << result.out;
    return reply ? *reply : json::Value();
  }

  std::vector<std::string> with_fixture(const std::filesystem::path& list) const {
    return {"--fixture", list.string(), "--sink", sink.string()};
  }

  TempDir dir;
  const std::string image = sample_image();
  const DeviceCandidate confirmed = testing::usb_stick("SER-1", "disk4");
  const DeviceCandidate live = testing::usb_stick("SER-1", "disk7");  // re-plugged since
  std::filesystem::path image_path;
  std::filesystem::path fixture;
  std::filesystem::path sink;
  JobSpec job;
};

struct Reply {
  bool ok;
  std::string error;  // empty: no "error" member
  std::string message;
  bool resolved;
};

void expect_reply(const json::Value& reply, const Reply& expected) {
  EXPECT_EQ(reply.value("evt", ""), "result");
  EXPECT_EQ(reply.value("ok", !expected.ok), expected.ok);
  EXPECT_EQ(reply.value("error", ""), expected.error);
  EXPECT_EQ(reply.value("message", ""), expected.message);
  EXPECT_EQ(reply.contains("resolved_device"), expected.resolved);
  if (expected.resolved) {
    EXPECT_EQ(reply["resolved_device"]["identity"]["mac_bsd_name"], "disk7");
  }
  EXPECT_FALSE(reply.contains("usb_sha256"));
}

TEST_F(RequestThroughStdin, RefusalsOfTheOutcomeTable) {
  const auto changed = [&](auto change) {
    JobSpec j = job;
    change(j);
    return j;
  };
  ::mkfifo((dir.path() / "fifo").c_str(), 0600);
  const auto list = [&](std::string name, std::vector<DeviceCandidate> devices) {
    return dir.write(name, testing::mock_list_text(devices));
  };
  auto system_disk = live;
  system_disk.is_system = true;
  auto sata_disk = live;
  sata_disk.bus = Bus::Sata;
  const std::string mismatch = "device identity does not match the confirmed target";
  // The one disk the default (test-device) profile accepts, re-plugged as disk7.
  const DeviceCandidate test_device = testing::usb_stick("5B3E91D0A7C4F268", "disk7", 8009023488);

  struct Case {
    std::string_view what;
    std::vector<std::string> args;
    std::string request;
    Reply reply;
  };
  const Case cases[] = {
      {"not JSON",
       with_fixture(fixture),
       "hello\n",
       {false, "protocol", "helper protocol error: expected value at line 1 column 1", false}},
      {"cancel",
       with_fixture(fixture),
       "{\"v\":1,\"cmd\":\"cancel\"}\n",
       {false, "protocol", "cancel has no in-flight job in this dispatch", false}},
      {"shape is checked before the platform list",
       {},
       request("write", changed([](auto& j) { j.job_id = ""; })),
       {false, "protocol", "helper protocol error: job_id is empty", false}},
      {"gone",
       with_fixture(list("empty.json", {})),
       request("validate", job),
       {false, "device_gone", "device disappeared before revalidation", false}},
      {"dry-run write for a gone disk",
       with_fixture(list("empty.json", {})),
       request("write", changed([](auto& j) { j.dry_run = true; })),
       {false, "device_gone", "device disappeared before revalidation", false}},
      {"mismatch",
       with_fixture(list("other.json", {testing::usb_stick("OTHER")})),
       request("write", job),
       {false, "device_identity_mismatch", mismatch, false}},
      {"ambiguous",
       with_fixture(list("twice.json", {live, live})),
       request("validate", job),
       {false, "device_ambiguous", "more than one device matches the weak identity", false}},
      {"system disk",
       with_fixture(list("system.json", {system_disk})),
       request("validate", job),
       {false, "rejected_system", "refused: system or internal disk", false}},
      {"not USB",
       with_fixture(list("sata.json", {sata_disk})),
       request("validate", job),
       {false, "rejected_not_usb", "refused: not a USB disk", false}},
      {"validate needs neither image nor write permission",
       {"--fixture", fixture.string()},
       request("validate", changed([](auto& j) { j.image_path = "/nonexistent", j.dry_run = true; })),
       {true, "", "", true}},
      {"dry-run write",
       with_fixture(fixture),
       request("write", changed([](auto& j) { j.dry_run = true; })),
       {false, "protocol", "write refused: job.dry_run is true", false}},
      {"raw backend stops before opening the device",
       {"--fixture", list("test_device.json", {test_device}).string()},
       request("write", changed([&](auto& j) { j.target = test_device.identity; })),
       {false, "write_stopped_before_device_open", "write prepared; raw device open is not enabled", true}},
      {"real writes on a host without the disk utility stop at the unmount",
       {"--fixture", list("test_device.json", {test_device}).string(), "--allow-real-write", "--expect-serial",
        "5B3E91D0A7C4F268"},
       request("write", changed([&](auto& j) { j.target = test_device.identity; })),
       {false, "protocol", "I/O error: No such file or directory (os error 2)", false}},
      {"raw backend's interlock refuses any other disk",
       {"--fixture", fixture.string()},
       request("write", job),
       {false, "device_identity_mismatch", mismatch, false}},
      {"image digest differs",
       with_fixture(fixture),
       request("write", changed([](auto& j) { j.sha256 = std::string(64, '0'); })),
       {false, "image_hash_mismatch",
        "image hash mismatch: expected " + std::string(64, '0') + ", actual " + job.sha256, false}},
      {"image missing",
       with_fixture(fixture),
       request("write", changed([&](auto& j) { j.image_path = (dir.path() / "missing.iso").string(); })),
       {false, "protocol", "I/O error: No such file or directory (os error 2)", false}},
      {"image size differs",
       with_fixture(fixture),
       request("write", changed([](auto& j) { j.size += 1; })),
       {false, "protocol", "size mismatch: expected 2621441, actual 2621440", false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_reply(ask(c.args, c.request), c.reply);
  }
  EXPECT_FALSE(std::filesystem::exists(sink)) << "no refused write touched the sink";
}

TEST_F(RequestThroughStdin, WriteLandsTheImageInTheSinkAndReportsTheReadBackDigest) {
  const auto reply = ask(with_fixture(fixture), request("write", job));
  EXPECT_EQ(reply.value("ok", false), true);
  EXPECT_FALSE(reply.contains("error"));
  EXPECT_FALSE(reply.contains("message"));
  EXPECT_EQ(reply.value("usb_sha256", ""), job.sha256);
  EXPECT_EQ(reply["resolved_device"]["identity"]["mac_bsd_name"], "disk7");
  EXPECT_EQ(testing::read_file(sink), image);
}

TEST_F(RequestThroughStdin, OneLineInOneLineOut) {
  const std::string cancel = R"({"v":1,"cmd":"cancel"})";
  const std::string cancel_reply =
      R"({"evt":"result","ok":false,"error":"protocol","message":"cancel has no in-flight job in this dispatch"})"
      "\n";
  const std::string empty_reply =
      R"({"evt":"result","ok":false,"error":"protocol","message":"helper protocol error: EOF while parsing a value at line 1 column 0"})"
      "\n";
  const std::string too_long_reply =
      R"({"evt":"result","ok":false,"error":"protocol","message":"helper protocol error: request exceeds 1048576 bytes"})"
      "\n";
  struct Case {
    std::string_view what;
    std::string input;
    std::string output;
  };
  const Case cases[] = {
      {"line feed", cancel + "\n", cancel_reply},
      {"a request of exactly the bound", cancel + std::string(1048576 - cancel.size(), ' ') + "\n", cancel_reply},
      {"carriage return and line feed", cancel + "\r\n", cancel_reply},
      {"no line feed at the end", cancel, cancel_reply},
      {"only the first line is answered", cancel + "\n" + request("write", job), cancel_reply},
      {"empty input", "", empty_reply},
      {"white space only", "  \t \n", empty_reply},
      // A request is bounded: the reply comes at once, and nothing more is read.
      {"two mebibytes without a line feed", std::string(2 << 20, ' '), too_long_reply},
      {"one byte over the bound", std::string(1048577, '[') + "\n", too_long_reply},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto result = testing::run_helper({.args = with_fixture(fixture), .stdin_text = c.input});
    EXPECT_EQ(result.out, c.output);
    EXPECT_EQ(result.exit_status, 0);
  }
  EXPECT_FALSE(std::filesystem::exists(sink));

  const auto invalid =
      testing::run_helper({.args = with_fixture(fixture), .stdin_text = "{\"v\":1,\"cmd\":\"\xFF\"}\n"});
  EXPECT_EQ(invalid.out, "");
  EXPECT_EQ(invalid.err, "helper error: stream did not contain valid UTF-8\n");
  EXPECT_EQ(invalid.exit_status, 1);
}

}  // namespace
}  // namespace kelmar_vindle
