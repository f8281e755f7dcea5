// The XPC transport, shim and service layer, against the simulated libxpc:
// peers connect to the service label and send messages; replies come back
// under "json".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "descriptors.hpp"
#include "devices.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "platform_sim/xpc_control.h"
#include "process.hpp"
#include "temp_dir.hpp"
#include "vindle_xpc.h"
#include "xpc.hpp"

namespace kelmar_vindle::helper {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kCancel = R"({"v":1,"cmd":"cancel"})";
const std::string kCancelReply =
    R"({"evt":"result","ok":false,"error":"protocol","message":"cancel has no in-flight job in this dispatch"})";
const std::string kEmptyRequestReply =
    R"({"evt":"result","ok":false,"error":"protocol","message":"helper protocol error: EOF while parsing a value at line 1 column 0"})";

// Lists one stick slowly and records when each listing ran, so that a test
// can see whether two requests overlapped.
class RecordingSnapshot final : public DeviceSnapshot {
 public:
  Result<std::vector<DeviceCandidate>> list() const override {
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::lock_guard guard(lock_);
    intervals_.emplace_back(start, Clock::now());
    return std::vector<DeviceCandidate>{testing::usb_stick("SER-1")};
  }
  std::vector<std::pair<Clock::time_point, Clock::time_point>> intervals() const {
    const std::lock_guard guard(lock_);
    return intervals_;
  }

 private:
  mutable std::mutex lock_;
  mutable std::vector<std::pair<Clock::time_point, Clock::time_point>> intervals_;
};

std::string validate_request() {
  json::Writer target;
  write_device_identity(target, testing::usb_stick("SER-1").identity);
  return R"({"v":1,"cmd":"validate","job":{"job_id":"x","image_path":"/none","expected_sha256":")" +
         std::string(64, 'a') + R"(","expected_size":1,"write_mode":"raw-dd-hybrid","target":)" + target.text() +
         R"(,"confirmed_label":"L","dry_run":false}})";
}

// Takes the malloc-owned reply the simulation hands back.
std::optional<std::string> take(char* reply) {
  if (reply == nullptr) return std::nullopt;
  std::string text(reply);
  std::free(reply);
  return text;
}

class XpcService : public ::testing::Test {
 protected:
  void SetUp() override {
    label = "com.kelmar-vindle.test" + std::to_string(next_label++) + ".helper";
    auto source = std::make_unique<RecordingSnapshot>();
    snapshot = source.get();
    service = std::thread([this, owned = std::move(source)]() mutable {
      listen_xpc(std::move(owned), std::make_unique<MockFileBackend>("/nonexistent/sink"), label.c_str());
    });
    ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  }
  void TearDown() override {
    xpc_sim_stop_main();
    service.join();
    EXPECT_EQ(xpc_sim_live_objects(), 0) << "every reply dictionary is released";
  }

  std::optional<std::string> send(int peer, xpc_sim_message kind, const std::string& text = {},
                                  bool expects_reply = true) const {
    return take(xpc_sim_send(peer, kind, text.c_str(), expects_reply ? 1 : 0));
  }

  static inline int next_label = 0;
  std::string label;
  const RecordingSnapshot* snapshot = nullptr;
  std::thread service;
};

TEST_F(XpcService, AnswersEachDictionaryMessageUnderJson) {
  const int peer = xpc_sim_connect(label.c_str());
  ASSERT_NE(peer, 0);
  EXPECT_EQ(send(peer, XPC_SIM_JSON_STRING, kCancel), kCancelReply);
  EXPECT_EQ(send(peer, XPC_SIM_JSON_STRING, " \t" + kCancel + "\r\n"), kCancelReply);
  EXPECT_EQ(send(peer, XPC_SIM_NO_JSON), kEmptyRequestReply);
  EXPECT_EQ(send(peer, XPC_SIM_JSON_NUMBER), kEmptyRequestReply);

  const auto replaced = send(peer, XPC_SIM_JSON_STRING, "{\"v\":1,\"cmd\":\"\xFF\"}");
  ASSERT_TRUE(replaced.has_value());
  EXPECT_NE(replaced->find("unknown variant `\xEF\xBF\xBD`"), std::string::npos) << *replaced;

  const auto validated = send(peer, XPC_SIM_JSON_STRING, validate_request());
  ASSERT_TRUE(validated.has_value());
  EXPECT_NE(validated->find(R"("ok":true)"), std::string::npos) << *validated;
  // Requests are bounded here as on the byte streams.
  EXPECT_EQ(
      send(peer, XPC_SIM_JSON_STRING, std::string(2 << 20, '[')),
      R"({"evt":"result","ok":false,"error":"protocol","message":"helper protocol error: request exceeds 1048576 bytes"})");
}

TEST_F(XpcService, OtherEventsAndReplylessMessagesSendNothing) {
  const int peer = xpc_sim_connect(label.c_str());
  EXPECT_EQ(send(peer, XPC_SIM_NOT_DICTIONARY, kCancel), std::nullopt);
  EXPECT_EQ(send(peer, XPC_SIM_ERROR), std::nullopt);
  // Handled in full, but nothing is sent.
  EXPECT_EQ(send(peer, XPC_SIM_JSON_STRING, validate_request(), /*expects_reply=*/false), std::nullopt);
  EXPECT_EQ(snapshot->intervals().size(), 1u);
  EXPECT_EQ(send(peer, XPC_SIM_JSON_STRING, kCancel), kCancelReply) << "the peer is still served";
}

TEST_F(XpcService, ConcurrentPeersAreServedOneAtATime) {
  const int first = xpc_sim_connect(label.c_str());
  const int second = xpc_sim_connect(label.c_str());
  std::optional<std::string> replies[2];
  std::thread a([&] { replies[0] = send(first, XPC_SIM_JSON_STRING, validate_request()); });
  std::thread b([&] { replies[1] = send(second, XPC_SIM_JSON_STRING, validate_request()); });
  a.join();
  b.join();
  for (const auto& reply : replies) {
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(reply->find(R"("ok":true)"), std::string::npos);
  }
  const auto intervals = snapshot->intervals();
  ASSERT_EQ(intervals.size(), 2u);
  const auto& [earlier, later] = intervals[0].first < intervals[1].first ? std::pair(intervals[0], intervals[1])
                                                                         : std::pair(intervals[1], intervals[0]);
  EXPECT_LE(earlier.second, later.first) << "the second request starts only after the first one's work";
}

// A peer's request is served with the peer's rights: the image it names is
// opened as its effective user, or read through the descriptor it sent.
TEST(XpcRights, ThePeersRightsDecideWhatImageIsRead) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0) {
    GTEST_SKIP() << "needs root and an unprivileged user named nobody";
  }
  testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  const std::string secret_bytes = "root's own image";
  const std::string handed_bytes = "the image the peer holds open";
  const auto secret = dir.write("secret.iso", secret_bytes);
  std::filesystem::permissions(secret, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const auto handed = dir.write("handed.iso", handed_bytes);
  const auto sink = dir.path() / "sink.img";
  const DeviceCandidate stick = testing::usb_stick("SER-1");
  const std::string label = "com.kelmar-vindle.rights.helper";
  std::thread service([&] {
    listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{stick}),
               std::make_unique<MockFileBackend>(sink), label.c_str());
  });
  ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  const auto write_of = [&](const std::string& claimed) {
    std::string line = testing::request_line("write", secret.string(), claimed, stick.identity);
    line.pop_back();  // no line feed on XPC
    return line;
  };
  const UniqueFd image(::open(handed.c_str(), O_RDONLY | O_CLOEXEC));
  const std::size_t descriptors = testing::open_descriptors();

  const int peer = xpc_sim_connect_as(label.c_str(), nobody->pw_uid, nobody->pw_gid);
  auto reply = take(xpc_sim_send(peer, XPC_SIM_JSON_STRING, write_of(secret_bytes).c_str(), 1));
  EXPECT_EQ(
      reply,
      R"x({"evt":"result","ok":false,"error":"protocol","message":"I/O error: Permission denied (os error 13)"})x");
  EXPECT_FALSE(std::filesystem::exists(sink));

  reply = take(xpc_sim_send_with_fd(peer, write_of(handed_bytes).c_str(), image.get()));
  ASSERT_TRUE(reply.has_value());
  EXPECT_NE(reply->find(R"("ok":true)"), std::string::npos) << *reply;
  EXPECT_EQ(testing::read_file(sink), handed_bytes) << "the descriptor's content, never the path's";
  EXPECT_EQ(xpc_sim_fds_handed_out(), 1);

  // A root peer keeps root's rights.
  const int root_peer = xpc_sim_connect(label.c_str());
  reply = take(xpc_sim_send(root_peer, XPC_SIM_JSON_STRING, write_of(secret_bytes).c_str(), 1));
  ASSERT_TRUE(reply.has_value());
  EXPECT_NE(reply->find(R"("ok":true)"), std::string::npos) << *reply;
  EXPECT_EQ(testing::read_file(sink), secret_bytes);
  EXPECT_EQ(testing::open_descriptors(), descriptors) << "the shim closes the descriptor it was given";

  xpc_sim_stop_main();
  service.join();
  EXPECT_EQ(xpc_sim_live_objects(), 0);
}

// With a code-signing requirement, a peer that does not meet it never
// reaches the handler; one that does is served as before.
TEST(XpcRequirement, OnlyPeersMeetingItAreServed) {
  const std::string label = "com.kelmar-vindle.requirement.helper";
  const std::string requirement = R"(anchor apple generic and identifier "com.kelmar-vindle.app")";
  std::thread service([&] {
    listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{}),
               std::make_unique<MockFileBackend>("/nonexistent/sink"), label.c_str(), requirement.c_str());
  });
  ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  const long dropped = xpc_sim_messages_dropped();
  const int app = xpc_sim_connect_signed(label.c_str(), requirement.c_str());
  const int stranger = xpc_sim_connect_signed(label.c_str(), R"(identifier "com.example.other")");
  const int unsigned_peer = xpc_sim_connect(label.c_str());
  EXPECT_EQ(take(xpc_sim_send(app, XPC_SIM_JSON_STRING, kCancel.c_str(), 1)), kCancelReply);
  EXPECT_EQ(take(xpc_sim_send(stranger, XPC_SIM_JSON_STRING, kCancel.c_str(), 1)), std::nullopt);
  EXPECT_EQ(take(xpc_sim_send(unsigned_peer, XPC_SIM_JSON_STRING, kCancel.c_str(), 1)), std::nullopt);
  EXPECT_EQ(xpc_sim_messages_dropped() - dropped, 2);
  xpc_sim_stop_main();
  service.join();

  // A requirement the platform refuses ends the mode.
  EXPECT_EQ(listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{}),
                       std::make_unique<MockFileBackend>("sink"), "com.kelmar-vindle.refused.helper", ""),
            "xpc listen exited rc=3");
}

TEST(XpcShim, WithoutAHandlerEveryMessageGetsTheFallbackReply) {
  const std::string label = "com.kelmar-vindle.shim.helper";
  vindle_xpc_set_handler(nullptr);
  std::thread shim([&] { vindle_xpc_listen_mach(label.c_str(), nullptr); });
  ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  const int peer = xpc_sim_connect(label.c_str());
  EXPECT_EQ(take(xpc_sim_send(peer, XPC_SIM_JSON_STRING, kCancel.c_str(), 1)),
            R"({"evt":"result","ok":false,"error":"protocol","message":"empty helper reply"})");
  xpc_sim_stop_main();
  shim.join();
  EXPECT_EQ(xpc_sim_live_objects(), 0);
}

TEST(XpcStartup, ListenFailuresEndTheModeWithTheirCode) {
  EXPECT_EQ(listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{}),
                       std::make_unique<MockFileBackend>("sink"), ""),
            "xpc listen exited rc=1");

  // Through the real start-up path, with the fixed label.
  testing::TempDir dir;
  const auto fixture = dir.write("devices.json", "[]");
  xpc_sim_fail_next_listener();
  EXPECT_EQ(run_helper({"kelmar_vindle_helper", "--listen-xpc", "--fixture", fixture.string()}, {}).error(),
            "xpc listen exited rc=2");
}

}  // namespace
}  // namespace kelmar_vindle::helper
