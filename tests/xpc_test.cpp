// The XPC transport, shim and service layer, against the simulated libxpc:
// peers connect to the service label and send messages; replies come back
// under "json".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "descriptors.hpp"
#include "devices.hpp"
#include "job_signals.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/json.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "platform_sim/xpc_control.h"
#include "process.hpp"
#include "read_gate.hpp"
#include "signal_state.hpp"
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
  // An invalidation is a peer's last event; another peer's leaves this one be.
  const int departing = xpc_sim_connect(label.c_str());
  EXPECT_EQ(send(departing, XPC_SIM_ERROR), std::nullopt);
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
}

// Started outside launchd, or without a MachServices entry for its label,
// the helper is told so by its listener's error, and ends saying so.
TEST(XpcStartup, AServiceLaunchdDoesNotOfferEndsTheModeWithAClearText) {
  testing::TempDir dir;
  const auto fixture = dir.write("devices.json", "[]");
  xpc_sim_next_service_unregistered();
  EXPECT_EQ(run_helper({"kelmar_vindle_helper", "--listen-xpc", "--fixture", fixture.string()}, {}).error(),
            "xpc listener for com.kelmar-vindle.helper failed: launchd offers no such Mach service (the helper "
            "runs only as the launch daemon whose MachServices names it)");
}

// ---- Writes that ask for progress ------------------------------------------

const std::string kCancelledReply =
    R"({"evt":"result","ok":false,"error":"write_cancelled","message":"write cancelled; target is incomplete"})";
// A write stopped part way copies a sparse image: where a read gate holds
// the job part way a short one does, else it must outlast the test's steps.
std::uint64_t stoppable_image_size() {
  return testing::ReadGate::available() ? std::uint64_t{16} << 20 : std::uint64_t{1} << 30;
}

// A request line as the byte streams take it, as one XPC request (no line
// feed), with `member` (say `"progress":true`) added at the top level.
std::string xpc_request(std::string line, std::string_view member = {}) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!member.empty()) {
    line.pop_back();  // the closing brace
    line += "," + std::string(member) + "}";
  }
  return line;
}

// A `write` of the image at `image`, whose digest and length `digest` gives,
// onto `target`, asking for progress.
std::string progress_write(const std::filesystem::path& image, const checksum::FileDigest& digest,
                           const DeviceIdentity& target) {
  json::Writer target_text;
  write_device_identity(target_text, target);
  return R"({"v":1,"cmd":"write","progress":true,"job":{"job_id":"test","image_path":)" + json::quote(image.string()) +
         R"(,"expected_sha256":")" + digest.sha256 + R"(","expected_size":)" + std::to_string(digest.size) +
         R"(,"write_mode":"raw-dd-hybrid","target":)" + target_text.text() +
         R"(,"confirmed_label":"Stick","dry_run":false}})";
}

// An image of `size` zero bytes that takes no room (a hole), and its digest.
checksum::FileDigest sparse_image(const std::filesystem::path& path, std::uint64_t size) {
  {
    const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid() || ::ftruncate(file.get(), static_cast<off_t>(size)) != 0) {
      throw std::runtime_error("cannot make the sparse image " + path.string());
    }
  }
  auto digest = checksum::sha256_file(path);
  if (!digest) throw std::runtime_error("cannot hash the sparse image " + path.string());
  return *digest;
}

std::vector<std::string> lines_of(char* texts) {
  std::vector<std::string> lines;
  std::istringstream text(take(texts).value_or(""));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

// Every "json" text the peer received so far, one per element, in order.
std::vector<std::string> received(int peer) { return lines_of(xpc_sim_received(peer)); }

// The same, of the messages of their own only (no reply), in the order sent.
std::vector<std::string> received_messages(int peer) { return lines_of(xpc_sim_received_messages(peer)); }

json::Value parsed(const std::string& line) {
  auto value = json::parse(line, json::DuplicateMembers::LastWins);
  return value && value->is_object() ? *value : json::Value::object();
}

bool is_event(const std::string& line, std::string_view evt) { return parsed(line).value("evt", "") == evt; }

bool is_writing_event(const std::string& line) {
  const auto event = parsed(line);
  return event.value("evt", "") == "progress" && event.value("phase", "") == kPhaseWriting;
}

// Waits, at most a minute, until one of the texts the peer received so far
// is `wanted`; false when none came in time.
bool wait_for_received(int peer, const std::function<bool(const std::string&)>& wanted) {
  const auto deadline = Clock::now() + std::chrono::minutes(1);
  while (Clock::now() < deadline) {
    for (const auto& line : received(peer)) {
      if (wanted(line)) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// `events` are what a whole write of `total` bytes sends ahead of its
// result: `accepted`, then progress through the three phases in order, each
// from 0 to `total`, never going back.
::testing::AssertionResult is_whole_progress(const std::vector<std::string>& events, std::uint64_t total) {
  constexpr std::array<std::string_view, 3> kPhases = {kPhaseCheckingImage, kPhaseWriting, kPhaseVerifying};
  if (events.empty() || events.front() != R"({"evt":"accepted"})") {
    return ::testing::AssertionFailure() << "the first event is not accepted";
  }
  std::size_t phase = 0;
  std::optional<std::uint64_t> done;  // the current phase's last count
  for (std::size_t i = 1; i < events.size(); ++i) {
    const auto fail = [&](std::string_view why) {
      return ::testing::AssertionFailure() << "event " << i << " " << events[i] << ": " << why;
    };
    const auto event = parsed(events[i]);
    if (event.value("evt", "") != "progress" || event.value("total", std::uint64_t{0}) != total) {
      return fail("not a progress event of the image's length");
    }
    const std::string name = event.value("phase", "");
    const auto bytes_done = event.value("bytes_done", std::uint64_t{0});
    if (name != kPhases[phase]) {
      if (phase + 1 == kPhases.size() || name != kPhases[phase + 1]) return fail("not the phase or the next one");
      if (done != total) return fail("the previous phase did not reach the total");
      ++phase;
      done.reset();
    }
    if (!done && bytes_done != 0) return fail("the phase does not start at 0");
    if (done && bytes_done < *done) return fail("the count went back");
    if (bytes_done > total) return fail("the count exceeds the total");
    done = bytes_done;
  }
  if (phase + 1 != kPhases.size() || done != total) {
    return ::testing::AssertionFailure() << "the events end before " << kPhases.back() << " reached " << total;
  }
  return ::testing::AssertionSuccess();
}

// A service writing into a file sink, for one listed stick.
class XpcWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    label = "com.kelmar-vindle.writes" + std::to_string(next_label++) + ".helper";
    service = std::thread([this] {
      listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{stick}),
                 std::make_unique<MockFileBackend>(sink), label.c_str());
    });
    ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  }
  void TearDown() override {
    xpc_sim_stop_main();
    service.join();
    EXPECT_EQ(xpc_sim_live_objects(), 0) << "every reply and event dictionary is released";
  }

  static inline int next_label = 0;
  const DeviceCandidate stick = testing::usb_stick("SER-1");
  testing::TempDir dir;
  const std::filesystem::path sink = dir.path() / "sink.img";
  std::string label;
  std::thread service;
};

// The events go to the requesting peer as messages of their own, ahead of
// its reply; a write that does not ask for them exactly gets only the reply.
TEST_F(XpcWrites, EventsReachTheRequestingPeerBeforeItsReply) {
  std::string image(3 * write::kChunkSize + 4321, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 % 251);
  const auto path = dir.write("image.iso", image);
  const std::string line = testing::request_line("write", path.string(), image, stick.identity);

  const struct {
    std::string_view member;
    bool events;
  } cases[] = {
      {R"("progress":true)", true},
      {"", false},
      {R"("progress":false)", false},
      {R"("progress":"true")", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("with " + (c.member.empty() ? std::string("no member") : std::string(c.member)));
    std::filesystem::remove(sink);
    const int peer = xpc_sim_connect(label.c_str());
    const int bystander = xpc_sim_connect(label.c_str());
    const auto reply = take(xpc_sim_send(peer, XPC_SIM_JSON_STRING, xpc_request(line, c.member).c_str(), 1));
    ASSERT_TRUE(reply.has_value());
    const auto result = parsed(*reply);
    EXPECT_EQ(result.value("evt", ""), "result") << *reply;
    EXPECT_EQ(result.value("ok", false), true) << *reply;
    EXPECT_EQ(result.value("usb_sha256", ""), checksum::sha256_hex(image)) << *reply;
    EXPECT_EQ(testing::read_file(sink), image);

    const auto lines = received(peer);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), *reply) << "the reply comes last";
    auto messages = received_messages(peer);
    if (c.events) {
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.back(), *reply) << "the result ends the messages too";
      messages.pop_back();
      EXPECT_TRUE(is_whole_progress(messages, image.size()));
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{});
    }
    EXPECT_EQ(received(bystander), std::vector<std::string>{}) << "another peer is sent nothing";
    EXPECT_EQ(xpc_sim_live_objects(), 0) << "every event and the reply are released once sent";
  }
}

// libxpc may hand a client its reply before the messages sent ahead of it:
// a client that asked for progress still reads its events and then their
// `result` in one ordered stream of messages.
TEST_F(XpcWrites, ProgressAndItsResultAreOneOrderedStreamWhateverComesFirst) {
  xpc_sim_replies_first(1);
  const std::string image(write::kChunkSize + 99, 'i');
  const auto path = dir.write("image.iso", image);
  const std::string line = testing::request_line("write", path.string(), image, stick.identity);
  const int peer = xpc_sim_connect(label.c_str());
  const auto reply = take(xpc_sim_send(peer, XPC_SIM_JSON_STRING, xpc_request(line, R"("progress":true)").c_str(), 1));
  xpc_sim_replies_first(0);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(parsed(*reply).value("usb_sha256", ""), checksum::sha256_hex(image)) << *reply;
  EXPECT_EQ(received(peer).front(), *reply) << "the simulation handed the reply over first";
  auto messages = received_messages(peer);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), *reply) << "the messages end with the result";
  messages.pop_back();
  EXPECT_TRUE(is_whole_progress(messages, image.size()));
}

// The requesting peer going away while its job runs cancels the job within
// a chunk; another peer going away leaves it to finish.
TEST_F(XpcWrites, APeerGoingAwayCancelsOnlyItsOwnJob) {
  const auto image = dir.path() / "large.iso";
  const auto digest = sparse_image(image, stoppable_image_size());
  const std::string request = progress_write(image, digest, stick.identity);

  const struct {
    const char* who;
    bool requester_goes;
  } cases[] = {{"the requesting peer goes away", true}, {"another peer goes away", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    const int requester = xpc_sim_connect(label.c_str());
    const int bystander = xpc_sim_connect(label.c_str());
    std::optional<std::string> reply;
    // Set up before the job opens the image. With it, the job reads on one
    // read at a time until the requester holds a writing event, and is held
    // there, part way, while a peer goes away: it cannot have ended first.
    // Without fanotify here, the job runs on meanwhile.
    testing::ReadGate gate(image);
    std::thread client([&] { reply = take(xpc_sim_send(requester, XPC_SIM_JSON_STRING, request.c_str(), 1)); });
    bool writing = false;
    if (gate.valid()) {
      while (!writing && gate.held(std::chrono::minutes(1))) {
        const auto so_far = received(requester);
        writing = std::any_of(so_far.begin(), so_far.end(), is_writing_event);
        if (!writing) gate.allow();
      }
    } else {
      writing = wait_for_received(requester, is_writing_event);
    }
    // Returns once the helper has been told of the departure.
    EXPECT_EQ(xpc_sim_send(c.requester_goes ? requester : bystander, XPC_SIM_ERROR, nullptr, 0), nullptr);
    const auto after_departure = received(requester);
    gate.open_wide();
    client.join();
    ASSERT_TRUE(writing) << "no writing event came";
    const bool answered_by_then = std::any_of(after_departure.begin(), after_departure.end(),
                                              [](const std::string& line) { return is_event(line, "result"); });

    ASSERT_TRUE(reply.has_value());
    const auto lines = received(requester);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), *reply) << "the reply comes last";
    if (c.requester_goes) {
      EXPECT_EQ(*reply, kCancelledReply);
      EXPECT_LT(std::filesystem::file_size(sink), digest.size) << "the sink holds less than the image";
    } else {
      EXPECT_EQ(parsed(*reply).value("usb_sha256", ""), digest.sha256) << *reply;
      EXPECT_EQ(std::filesystem::file_size(sink), digest.size);
      const auto messages = received_messages(requester);
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.back(), *reply);
      EXPECT_TRUE(is_whole_progress({messages.begin(), messages.end() - 1}, digest.size));
      // Else the job could have ended before the other peer went away.
      EXPECT_FALSE(answered_by_then) << "the job still ran once the other peer's departure was handled";
    }
    EXPECT_EQ(xpc_sim_live_objects(), 0);
  }
}

// A backend that holds every job until the test lets it go, and counts the
// jobs it was given.
class GatedBackend final : public WriteBackend {
 public:
  BackendKind kind() const override { return BackendKind::FileSink; }
  Result<std::string> write_and_verify(const WriteJob&, std::span<const std::byte>, const std::atomic<bool>&,
                                       ProgressFn&) const override {
    return std::unexpected(Error::io("not used"));
  }
  using WriteBackend::write_job;
  Result<std::string> write_job(const WriteJob& job, const ImageAccess&, const std::atomic<bool>&,
                                ProgressFn& progress) const override {
    progress(WritePhase::of(WritePhase::Kind::CheckingImage));
    std::unique_lock guard(lock_);
    ++started_;
    changed_.notify_all();
    changed_.wait(guard, [&] { return released_; });
    return job.expected_sha256;
  }

  // Waits, at most a minute, until `count` jobs have started.
  bool wait_for_started(int count) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::minutes(1), [&] { return started_ >= count; });
  }
  int started() const {
    const std::lock_guard guard(lock_);
    return started_;
  }
  void release() const {
    const std::lock_guard guard(lock_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  mutable int started_ = 0;
  mutable bool released_ = false;
};

// A peer that goes away while its request waits behind another peer's is
// remembered as gone: its request is dropped unanswered and its job never
// runs, while the other peer's job ends as it would have.
TEST(XpcQueue, ARequestWhosePeerWentAwayWhileItWaitedIsNeverRun) {
  const std::string label = "com.kelmar-vindle.queue.helper";
  const DeviceCandidate stick = testing::usb_stick("SER-1");
  auto owned = std::make_unique<GatedBackend>();
  const GatedBackend& backend = *owned;
  std::thread service([&, backend_owned = std::move(owned)]() mutable {
    listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{stick}), std::move(backend_owned),
               label.c_str());
  });
  ASSERT_TRUE(xpc_sim_wait_for_listener(label.c_str()));
  const std::string request = xpc_request(testing::request_line("write", "/none", "image", stick.identity));

  const int running = xpc_sim_connect(label.c_str());
  const int waiting = xpc_sim_connect(label.c_str());
  std::optional<std::string> running_reply;
  std::optional<std::string> waiting_reply;
  std::thread first([&] { running_reply = take(xpc_sim_send(running, XPC_SIM_JSON_STRING, request.c_str(), 1)); });
  const bool first_started = backend.wait_for_started(1);
  std::thread second([&] { waiting_reply = take(xpc_sim_send(waiting, XPC_SIM_JSON_STRING, request.c_str(), 1)); });
  // Its request is queued once its handler has returned; then it goes away.
  const bool queued = xpc_sim_wait_for_handled(waiting, 1) != 0;
  EXPECT_EQ(xpc_sim_send(waiting, XPC_SIM_ERROR, nullptr, 0), nullptr);
  backend.release();
  first.join();
  second.join();
  ASSERT_TRUE(first_started) << "the first job never started";
  ASSERT_TRUE(queued) << "the second request was never queued";

  ASSERT_TRUE(running_reply.has_value());
  EXPECT_EQ(parsed(*running_reply).value("ok", false), true) << *running_reply;
  EXPECT_EQ(backend.started(), 1) << "the job of the peer that went away ran";
  EXPECT_EQ(waiting_reply, std::nullopt);
  EXPECT_EQ(received(waiting), std::vector<std::string>{}) << "nothing is sent to a peer that went away";

  // The service goes on serving the peers still there.
  EXPECT_EQ(take(xpc_sim_send(running, XPC_SIM_JSON_STRING, kCancel.c_str(), 1)), kCancelReply);
  xpc_sim_stop_main();
  service.join();
  EXPECT_EQ(xpc_sim_live_objects(), 0);
}

// Ends a death test's process with status 2, saying why.
[[noreturn]] void give_up(const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::_Exit(2);
}

// The XPC mode as the process runs it, with SIGTERM and SIGINT watched: a
// SIGTERM while a write runs cancels it, and the process exits (status 0)
// once the write is answered. Never returns; gives up on any failure.
[[noreturn]] void serve_until_terminated(const std::filesystem::path& dir) {
  // First, before any thread exists: every thread started below leaves
  // both signals to its watcher.
  JobSignals signals;
  const auto image = dir / "large.iso";
  const auto digest = sparse_image(image, stoppable_image_size());
  const DeviceCandidate stick = testing::usb_stick("SER-1");
  const char* label = "com.kelmar-vindle.signals.helper";
  std::thread service([&] {
    listen_xpc(std::make_unique<MockEnumerator>(std::vector<DeviceCandidate>{stick}),
               std::make_unique<MockFileBackend>(dir / "sink.img"), label, nullptr, &signals);
  });
  if (!xpc_sim_wait_for_listener(label)) give_up("no listener");
  const int peer = xpc_sim_connect(label);
  const std::string request = progress_write(image, digest, stick.identity);
  // Set up before the job opens the image. With it, the job reads on one
  // read at a time until a writing event came, and is held there, part way,
  // until the signal has been taken: it cannot have ended first. Without
  // fanotify here, the job runs on meanwhile.
  testing::ReadGate gate(image);
  std::thread client([&] { std::free(xpc_sim_send(peer, XPC_SIM_JSON_STRING, request.c_str(), 1)); });
  if (gate.valid()) {
    bool writing = false;
    while (!writing && gate.held(std::chrono::minutes(1))) {
      const auto so_far = received(peer);
      writing = std::any_of(so_far.begin(), so_far.end(), is_writing_event);
      if (!writing) gate.allow();
    }
    if (!writing) give_up("no writing event came");
  } else if (!wait_for_received(peer, is_writing_event)) {
    give_up("no writing event came");
  }
  ::kill(::getpid(), SIGTERM);  // to the process, as a service manager sends it
  if (gate.valid() && !testing::wait_until_taken(::getpid(), SIGTERM, std::chrono::minutes(1), ::gettid())) {
    give_up("SIGTERM was never taken");
  }
  gate.open_wide();
  // Only a failure bound: the process ends from another thread long before.
  std::this_thread::sleep_for(std::chrono::minutes(1));
  give_up("the process did not end after SIGTERM");
}

TEST(XpcSignals, SigtermCancelsTheRunningWriteAndEndsTheServiceOnceItIsAnswered) {
  struct sigaction current {};
  if (::sigaction(SIGTERM, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
    GTEST_SKIP() << "SIGTERM is ignored in this process, so the helper would not watch it";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The service ends its process without running destructors, so the files
  // live in this process's directory: the child, a fresh run of this test
  // up to here, finds it in the environment it inherited.
  static constexpr const char* kDirVariable = "KV_XPC_SIGNALS_DIR";
  std::optional<testing::TempDir> dir;
  if (std::getenv(kDirVariable) == nullptr) {
    dir.emplace();
    ::setenv(kDirVariable, dir->path().c_str(), 1);
  }
  const std::filesystem::path shared_dir = std::getenv(kDirVariable);
  // The peer's texts as the simulated barrier prints them: accepted, some
  // progress, and the cancelled result last (as a message, then as the
  // reply), before the exit.
  EXPECT_EXIT(serve_until_terminated(shared_dir), ::testing::ExitedWithCode(0),
              R"(the peer received:
\{"evt":"accepted"\}
(\{"evt":"progress",[^}]*\}
)+(\{"evt":"result","ok":false,"error":"write_cancelled","message":"write cancelled; target is incomplete"\}
){2}$)");
  if (dir) ::unsetenv(kDirVariable);
}

}  // namespace
}  // namespace kelmar_vindle::helper
