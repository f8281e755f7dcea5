// Faults met by the real helper binary: a sink on a full device, an image
// that changes or shrinks while the disk is being unmounted, a raw node that
// refuses writes, a standard output that is closed or that nobody reads.
// Each ends in one reply (or the transport's failure) and no crash.
//
// The raw backend's cases run the helper in a private mount namespace where
// a fake disk utility sits at /usr/sbin/diskutil and /dev holds the raw node,
// so the binary runs unchanged; they need root and a working unshare.
#include <gtest/gtest.h>
#include <unistd.h>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::ProcessRun;

constexpr std::string_view kTestSerial = "5B3E91D0A7C4F268";
constexpr std::uint64_t kTestSize = 8009023488;

std::size_t count_of(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class FaultThroughTheBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 31 % 253);
    image_path = dir.write("image.iso", image);
    fixture = dir.write("devices.json", testing::mock_list_text({stick}));
  }

  std::string request() const { return testing::request_line("write", image_path.string(), image, stick.identity); }

  // The reply as an object; members that are missing read as null.
  static json::Value reply_of(const testing::ProcessResult& result) {
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    auto reply = json::parse(result.out, json::DuplicateMembers::LastWins);
    EXPECT_TRUE(reply.has_value()) << result.out;
    return reply.value_or(json::Value::object());
  }

  testing::TempDir dir;
  std::string image = std::string(3 * 1048576 + 17, '\0');
  const DeviceCandidate stick = testing::usb_stick(std::string(kTestSerial), "disk4", kTestSize);
  std::filesystem::path image_path;
  std::filesystem::path fixture;
};

TEST_F(FaultThroughTheBinary, SinkOnAFullDevice) {
  const auto result =
      testing::run_helper({.args = {"--fixture", fixture.string(), "--sink", "/dev/full"}, .stdin_text = request()});
  const auto reply = reply_of(result);
  EXPECT_EQ(reply.value("ok", json::Value()), false);
  EXPECT_EQ(reply.value("error", json::Value()), "protocol");
  EXPECT_EQ(reply.value("message", json::Value()), "I/O error: No space left on device (os error 28)");
}

TEST_F(FaultThroughTheBinary, ClosedOrUnreadStandardOutput) {
  const auto sink = dir.path() / "sink.img";
  const std::vector<std::string> args{"--fixture", fixture.string(), "--sink", sink.string()};
  // Closed: start-up puts /dev/null in its place; the job still runs.
  auto result = testing::run_helper({.args = args, .stdin_text = request(), .closed_streams = {1}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(testing::read_file(sink), image);
  // Nobody reading: the client is gone, so its job is cancelled before the
  // image is whole on the sink, and the reply cannot be delivered, which the
  // process reports.
  std::filesystem::remove(sink);
  result = testing::run_helper({.args = args, .stdin_text = request(), .stdout_unread = true});
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "helper error: Broken pipe (os error 32)\n");
  std::error_code no_sink;
  const auto written = std::filesystem::file_size(sink, no_sink);
  EXPECT_TRUE(no_sink || written < image.size()) << "the whole image was written for nobody";
}

TEST_F(FaultThroughTheBinary, RawWritesMeetingFaults) {
  if (!testing::private_mount_namespace_available()) {
    GTEST_SKIP() << "needs root and a private mount namespace (unshare --mount), which this machine refuses";
  }
  const auto log = dir.path() / "utility.log";
  const auto child_log = dir.path() / "utility-own.log";
  const auto env_log = dir.path() / "utility-env.log";
  struct Case {
    std::string_view what;
    std::string utility;  // what the fake disk utility does besides logging
    std::string node;     // how /dev/rdisk4 is made in the namespace
    std::string message;  // the reply's message
    bool node_untouched;  // the stick's file still holds what it held
  };
  const std::string image_file = image_path.string();
  const std::string node_file = (dir.path() / "stick.img").string();
  const std::string stick_before(4 * 1048576, 'X');
  // An image that is no longer the file that was checked is not copied.
  const Case cases[] = {
      {"image changed while unmounting",
       "printf 'X' | dd of='" + image_file + "' bs=1 seek=1000 conv=notrunc 2>/dev/null",
       "ln -s '" + node_file + "' /dev/rdisk4", "I/O error: image changed after it was checked", true},
      {"image shrunk while unmounting", "truncate -s 1048577 '" + image_file + "'",
       "ln -s '" + node_file + "' /dev/rdisk4", "I/O error: image changed after it was checked", true},
      {"raw node refuses writes", "", "mknod /dev/rdisk4 c 1 7", "I/O error: No space left on device (os error 28)",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::write_file(image_path, image);
    testing::age(image_path);  // so that a change made now shows in its times
    testing::write_file(node_file, stick_before);
    std::filesystem::remove(log);
    // The utility also lists its own descriptors, the helper's and its own
    // environment as it is run: the helper holds the checked image once, from
    // its check to its copy, and nothing else of the job; the utility
    // inherits none of it, nor a descriptor the helper itself inherited
    // (fd 9), nor the helper's environment.
    const auto utility =
        dir.write("diskutil", "#!/bin/sh\nls -l /proc/$$/fd > '" + child_log.string() + "'\nls -l /proc/$PPID/fd > '" +
                                  log.string() + "'\nenv > '" + env_log.string() + "'\n" + c.utility + "\nexit 0\n");
    std::filesystem::permissions(utility, std::filesystem::perms::owner_all);
    const auto result = testing::run_helper_with_fake_disk(
        utility.string(), c.node + "\nexec 9</etc/hostname",
        {"--fixture", fixture.string(), "--allow-real-write", "--expect-serial", std::string(kTestSerial)}, request(),
        {"KV_STARTER_SECRET=not for the utility"});
    const auto reply = reply_of(result);
    EXPECT_EQ(reply.value("ok", json::Value()), false);
    EXPECT_TRUE(reply.value("message", "").starts_with(c.message)) << reply.dump();
    if (c.node_untouched) {
      EXPECT_EQ(testing::read_file(node_file), stick_before);
    }
    const std::string helper_open = testing::read_file(log);
    const std::string utility_open = testing::read_file(child_log);
    EXPECT_EQ(count_of(helper_open, "image.iso"), 1u) << helper_open;
    EXPECT_EQ(helper_open.find("devices.json"), std::string::npos) << helper_open;
    EXPECT_EQ(utility_open.find("image.iso"), std::string::npos) << utility_open;
    EXPECT_NE(helper_open.find("/etc/hostname"), std::string::npos) << "the helper did inherit fd 9";
    EXPECT_EQ(utility_open.find("/etc/hostname"), std::string::npos) << utility_open;
    const std::string environment = testing::read_file(env_log);
    EXPECT_NE(environment.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos) << environment;
    EXPECT_NE(environment.find("LC_ALL=C\n"), std::string::npos) << environment;
    EXPECT_EQ(environment.find("KV_STARTER_SECRET"), std::string::npos) << environment;
  }
}

}  // namespace
}  // namespace kelmar_vindle
