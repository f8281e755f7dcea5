// Progress events and the ways a running write is stopped, through the real
// helper binary on standard input and on the Unix socket: a write that asks
// for progress gets `accepted` and its phases' counts before its one result;
// a client that goes away, SIGTERM and SIGINT cancel it part way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "read_gate.hpp"
#include "signal_state.hpp"
#include "temp_dir.hpp"
#include "unix_socket.hpp"

namespace kelmar_vindle {
namespace {

using testing::LineReader;
using testing::RunningProcess;

// Only keeps a broken helper from hanging the test; never a measure of speed.
constexpr std::chrono::milliseconds kPatience{30'000};

constexpr std::uint64_t kMiB = 1048576;
// The long image is a sparse file of zeros, which costs next to no disk.
// Where a read gate holds the helper part way, a short one does; else its
// copy must last long enough for a client to stop it part way, and it is
// 1 GiB, whose digest is that of 1 GiB of zero bytes.
constexpr std::uint64_t kGatedImageSize = 16 * kMiB;
constexpr std::uint64_t kLongImageSize = 1024 * kMiB;
constexpr std::string_view kLongImageSha256 = "49bc20df15e412a64472421e13fe86ff1c5165e18b2afccf160d4dc19fe68a14";

const std::string kCancelledReply =
    R"({"evt":"result","ok":false,"error":"write_cancelled","message":"write cancelled; target is incomplete"})";
const std::string kBrokenPipe = "helper error: Broken pipe (os error 32)\n";

struct Image {
  std::filesystem::path path;
  std::string sha256;
  std::uint64_t size = 0;
};

// A request as `testing::request_line` writes it, for `image` as given by its
// digest and size, with `progress` as its top-level member of that name
// (none: no such member).
std::string request(std::string_view command, const Image& image, const DeviceIdentity& target,
                    const std::optional<json::Value>& progress) {
  auto tree =
      json::parse(testing::request_line(command, image.path.string(), "", target), json::DuplicateMembers::LastWins);
  if (!tree) {
    ADD_FAILURE() << "the request line does not parse: " << tree.error();
    return {};
  }
  (*tree)["job"]["expected_sha256"] = image.sha256;
  (*tree)["job"]["expected_size"] = image.size;
  if (progress) (*tree)["progress"] = *progress;
  return tree->dump() + "\n";
}

using testing::connect_when_listening;
using testing::is_socket_file;

enum class Transport { Stdin, Socket, SocketHalfClosed };

std::string_view name_of(Transport transport) {
  switch (transport) {
    case Transport::Stdin: return "standard input";
    case Transport::Socket: return "socket";
    case Transport::SocketHalfClosed: return "socket whose client shut down its sending side";
  }
  return "";
}

// One helper answering one request, and the client's end of the exchange:
// the helper's standard output, or a connection to its socket.
class Exchange {
 public:
  Exchange(Transport transport, std::vector<std::string> args, const std::filesystem::path& socket,
           const std::string& request)
      : on_socket_(transport != Transport::Stdin),
        helper_(testing::helper_binary(), with_socket(std::move(args), on_socket_ ? &socket : nullptr)) {
    if (!on_socket_) {
      sent_ = helper_.send(request);
      return;
    }
    socket_ = LineReader(connect_when_listening(socket, kPatience));
    sent_ = socket_.valid() && write_all(socket_.fd(), request);
    if (sent_ && transport == Transport::SocketHalfClosed) sent_ = ::shutdown(socket_.fd(), SHUT_WR) == 0;
  }

  bool sent() const { return sent_; }
  LineReader& replies() { return on_socket_ ? socket_ : helper_.output(); }
  RunningProcess& helper() { return helper_; }

 private:
  static std::vector<std::string> with_socket(std::vector<std::string> args, const std::filesystem::path* socket) {
    if (socket != nullptr) args.insert(args.end(), {"--listen-unix", socket->string()});
    return args;
  }

  bool on_socket_;
  RunningProcess helper_;
  LineReader socket_;
  bool sent_ = false;
};

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

bool is_phase(const std::string& line, std::string_view phase) {
  return line.find(R"("phase":")" + std::string(phase) + '"') != std::string::npos;
}

// The replies up to the end of the stream.
std::vector<std::string> read_to_end(LineReader& replies, std::vector<std::string> lines = {}) {
  while (auto line = replies.next(kPatience)) lines.push_back(std::move(*line));
  EXPECT_TRUE(replies.ended()) << "the helper stopped sending without ending the stream:\n" << joined(lines);
  EXPECT_EQ(replies.rest(), "") << "every line ends with a line feed";
  return lines;
}

// The replies up to and with the first `writing` event (or the end).
std::vector<std::string> read_to(LineReader& replies, std::string_view phase) {
  std::vector<std::string> lines;
  while (auto line = replies.next(kPatience)) {
    lines.push_back(std::move(*line));
    if (is_phase(lines.back(), phase)) break;
  }
  return lines;
}

struct Seen {
  // The phases in the order they came, each with its last count.
  std::vector<std::pair<std::string, std::uint64_t>> phases;
  std::optional<std::string> result;  // the `result` line
};

// Checks what a write that asked for progress sent, as far as it got: one
// compact JSON object a line, `accepted` first, then each phase in its turn
// from 0 and never going back, a phase starting only once the one before
// reached `total`, and nothing after the `result`.
Seen check_events(const std::vector<std::string>& lines, std::uint64_t total) {
  static constexpr std::string_view kPhases[] = {"checking_image", "writing", "verifying"};
  Seen seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    SCOPED_TRACE("line " + std::to_string(i) + ": " + line);
    EXPECT_FALSE(seen.result.has_value()) << "a line after the result";
    const auto event = json::parse(line, json::DuplicateMembers::LastWins);
    if (!event || !event->is_object() || event->dump() != line) {
      ADD_FAILURE() << "not one compact JSON object";
      continue;
    }
    if (i == 0) {
      EXPECT_EQ(line, R"({"evt":"accepted"})");
      continue;
    }
    const auto member = [&](const char* key) {
      const auto found = event->find(key);
      return found == event->end() ? json::Value() : *found;
    };
    if (member("evt") == "result") {
      seen.result = line;
      continue;
    }
    const json::Value phase_value = member("phase");
    const json::Value done_value = member("bytes_done");
    const std::string phase = phase_value.is_string() ? phase_value.get<std::string>() : "";
    const std::uint64_t done = done_value.is_number_unsigned() ? done_value.get<std::uint64_t>() : 0;
    // Members, their order and types, and the total, all at once.
    EXPECT_EQ(line, R"({"evt":"progress","phase":")" + phase + R"(","bytes_done":)" + std::to_string(done) +
                        R"(,"total":)" + std::to_string(total) + "}");
    EXPECT_LE(done, total);
    if (seen.phases.empty() || seen.phases.back().first != phase) {
      const std::size_t turn = seen.phases.size();
      EXPECT_TRUE(turn < std::size(kPhases) && phase == kPhases[turn]) << "phase out of turn";
      EXPECT_EQ(done, 0u) << "a phase starts at 0";
      if (turn > 0) {
        EXPECT_EQ(seen.phases.back().second, total) << "a phase starts once the one before ended";
      }
      seen.phases.emplace_back(phase, done);
    } else {
      EXPECT_GE(done, seen.phases.back().second) << "a count went back";
      seen.phases.back().second = done;
    }
  }
  return seen;
}

// Whether the process runs at least `count` threads, waiting a bounded while.
bool wait_for_threads(pid_t pid, std::size_t count) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (auto waited = std::chrono::milliseconds(0); waited < kPatience; waited += std::chrono::milliseconds(5)) {
    std::error_code error;
    std::size_t running = 0;
    for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end; it.increment(error)) {
      ++running;
    }
    if (running >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// With `gate` holding the helper's reads of the image: lets them through
// one at a time until the helper has sent `phase`'s first event, and leaves
// it held at its next read, part way through its work whatever the
// machine's load. The lines up to and with that event. Without a gate (no
// fanotify here) the lines are read as they come and the helper runs on.
std::vector<std::string> read_to_held(LineReader& replies, std::string_view phase, testing::ReadGate& gate) {
  if (!gate.valid()) return read_to(replies, phase);
  std::vector<std::string> lines;
  while (gate.held(kPatience)) {
    // What the helper sent before this read is in the stream already.
    while (auto line = replies.next(std::chrono::milliseconds(0))) {
      lines.push_back(std::move(*line));
      if (is_phase(lines.back(), phase)) return lines;
    }
    gate.allow();
  }
  return lines;
}

class ProgressThroughTheBinary : public ::testing::Test {
 protected:
  void SetUp() override { fixture = dir.write("devices.json", testing::mock_list_text({stick})); }

  std::vector<std::string> args() const { return {"--fixture", fixture.string(), "--sink", sink.string()}; }

  // A fresh name each time: a helper whose client went away leaves its socket.
  std::filesystem::path next_socket() { return dir.path() / ("helper" + std::to_string(++sockets) + ".sock"); }

  // 64 MiB whose bytes are not all alike.
  Image short_image() const {
    std::string bytes(64 * kMiB, '\0');
    std::uint32_t x = 12345;
    for (char& c : bytes) {
      x = x * 1103515245 + 12345;
      c = static_cast<char>(x >> 24);
    }
    return {dir.write("short.iso", bytes), checksum::sha256_hex(bytes), bytes.size()};
  }

  Image long_image() const {
    const auto path = dir.write("long.iso", "");
    if (testing::ReadGate::available()) {
      std::filesystem::resize_file(path, kGatedImageSize);
      return {path, checksum::sha256_hex(std::string(kGatedImageSize, '\0')), kGatedImageSize};
    }
    std::filesystem::resize_file(path, kLongImageSize);
    return {path, std::string(kLongImageSha256), kLongImageSize};
  }

  // What the write got onto the sink (nothing when it made none).
  std::uint64_t sink_size() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(sink, error);
    return error ? 0 : size;
  }

  testing::TempDir dir;
  const DeviceCandidate stick = testing::usb_stick("SER-PROGRESS", "disk4", 8'000'000'000);
  std::filesystem::path fixture;
  const std::filesystem::path sink = dir.path() / "sink.img";
  int sockets = 0;
};

TEST_F(ProgressThroughTheBinary, AWriteThatAsksForProgressGetsItsEventsThenItsOneResult) {
  const Image image = short_image();
  const DeviceIdentity unplugged = testing::usb_stick("NOT-PLUGGED-IN").identity;
  for (const Transport transport : {Transport::Stdin, Transport::Socket, Transport::SocketHalfClosed}) {
    SCOPED_TRACE(name_of(transport));
    const auto ask = [&](const std::string& text) {
      Exchange exchange(transport, args(), next_socket(), text);
      EXPECT_TRUE(exchange.sent());
      auto lines = read_to_end(exchange.replies());
      const auto ended = exchange.helper().wait(kPatience);
      EXPECT_TRUE(ended.has_value()) << "the helper did not end after its reply";
      if (ended) {
        EXPECT_EQ(ended->exit_status, 0) << ended->err;
        EXPECT_EQ(ended->err, "");
        EXPECT_EQ(ended->out, "");
      }
      return lines;
    };

    const auto seen = check_events(ask(request("write", image, stick.identity, true)), image.size);
    const std::vector<std::pair<std::string, std::uint64_t>> every_phase_whole = {
        {"checking_image", image.size}, {"writing", image.size}, {"verifying", image.size}};
    EXPECT_EQ(seen.phases, every_phase_whole);
    ASSERT_TRUE(seen.result.has_value());
    const auto result = json::parse(*seen.result, json::DuplicateMembers::LastWins);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->value("ok", false), true);
    EXPECT_EQ(result->value("usb_sha256", ""), image.sha256);

    // Anything but progress asked for with `true`, and any request that does
    // not start a write's work, is answered with its one line alone.
    struct OneLine {
      std::string_view what;
      std::string request;
      std::optional<std::string> without_progress;  // its reply is the one expected; none: the write's above
    };
    const OneLine cases[] = {
        {"no progress member", request("write", image, stick.identity, std::nullopt), {}},
        {"progress given as a string", request("write", image, stick.identity, "yes"), {}},
        {"progress given as a number", request("write", image, stick.identity, 1), {}},
        {"a validate", request("validate", image, stick.identity, true),
         request("validate", image, stick.identity, std::nullopt)},
        {"a write refused before its work began", request("write", image, unplugged, true),
         request("write", image, unplugged, std::nullopt)},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      const auto expected = c.without_progress ? ask(*c.without_progress) : std::vector{*seen.result};
      EXPECT_EQ(expected.size(), 1u);
      EXPECT_EQ(ask(c.request), expected);
    }
  }
}

TEST_F(ProgressThroughTheBinary, AWriteStoppedPartWayLeavesTheTargetShortOfTheImage) {
  const Image image = long_image();
  // Each stop is done while the helper is held at the gate (where there is
  // one): the job cannot have ended first, however slow the test is.
  const auto hang_up = [](Exchange& exchange, bool /*held*/) { exchange.replies().close(); };
  const auto signal = [](int number) {
    return [number](Exchange& exchange, bool held) {
      EXPECT_TRUE(exchange.helper().signal(number));
      // The signal reaches the helper's own thread for it in its time: the
      // job goes on only once that thread has cancelled it.
      if (held) {
        EXPECT_TRUE(testing::wait_until_taken(exchange.helper().pid(), number, kPatience))
            << "the helper never took the signal";
      }
    };
  };
  struct Case {
    std::string_view what;
    Transport transport;
    std::function<void(Exchange&, bool held)> stop;
    // After a signal the cancelled job's reply still goes out; a client that
    // went away cannot get it, and the helper fails on sending it.
    int exit_status;
    std::string err;
    std::optional<std::string> reply;
    // Stopped right after this phase's first event.
    std::string_view phase = "writing";
  };
  const Case cases[] = {
      {"the socket client hangs up", Transport::Socket, hang_up, 1, kBrokenPipe, {}},
      {"the reader of standard output goes away", Transport::Stdin, hang_up, 1, kBrokenPipe, {}},
      {"SIGTERM on standard input", Transport::Stdin, signal(SIGTERM), 0, "", kCancelledReply},
      {"SIGINT on standard input", Transport::Stdin, signal(SIGINT), 0, "", kCancelledReply},
      {"SIGTERM on the socket", Transport::Socket, signal(SIGTERM), 0, "", kCancelledReply},
      // Stopped before the copy: the target is never opened.
      {"SIGTERM while the image is checked", Transport::Stdin, signal(SIGTERM), 0, "", kCancelledReply,
       "checking_image"},
      {"the socket client hangs up while the image is checked",
       Transport::Socket,
       hang_up,
       1,
       kBrokenPipe,
       {},
       "checking_image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(sink);
    testing::ReadGate gate(image.path);  // before the helper opens the image
    Exchange exchange(c.transport, args(), next_socket(), request("write", image, stick.identity, true));
    ASSERT_TRUE(exchange.sent());
    auto lines = read_to_held(exchange.replies(), c.phase, gate);
    ASSERT_TRUE(!lines.empty() && is_phase(lines.back(), c.phase)) << c.phase << " did not begin:\n" << joined(lines);

    c.stop(exchange, gate.valid());
    gate.open_wide();
    if (c.reply) lines = read_to_end(exchange.replies(), std::move(lines));
    const auto ended = exchange.helper().wait(kPatience);
    ASSERT_TRUE(ended.has_value()) << "the helper went on after it was stopped";
    EXPECT_EQ(ended->signal, 0);
    EXPECT_EQ(ended->exit_status, c.exit_status);
    EXPECT_EQ(ended->err, c.err);

    const auto seen = check_events(lines, image.size);
    EXPECT_EQ(seen.result, c.reply);
    ASSERT_EQ(seen.phases.size(), c.phase == "writing" ? 2u : 1u);
    EXPECT_LT(seen.phases.back().second, image.size);
    if (c.phase == "writing") {
      EXPECT_LT(sink_size(), image.size) << "the copy went on to the end";
    } else {
      EXPECT_FALSE(std::filesystem::exists(sink)) << "the target was touched";
    }
  }
}

// Without events the client still cancels its write by going away: the job
// stops within a chunk instead of copying the whole image for nobody.
TEST_F(ProgressThroughTheBinary, AClientThatAskedForNoProgressStillStopsItsWriteByGoingAway) {
  const Image image = long_image();
  for (const Transport transport : {Transport::Socket, Transport::Stdin}) {
    SCOPED_TRACE(name_of(transport));
    std::filesystem::remove(sink);
    testing::ReadGate gate(image.path);  // before the helper opens the image
    Exchange exchange(transport, args(), next_socket(), request("write", image, stick.identity, std::nullopt));
    ASSERT_TRUE(exchange.sent());
    // No event tells that the copy began; the sink growing does. With the
    // gate the helper reads on one read at a time until it has, and is held
    // part way; else the directory's watch reports the growth.
    bool copying = false;
    if (gate.valid()) {
      while (!copying && gate.held(kPatience)) {
        copying = sink_size() > 0;
        if (!copying) gate.allow();
      }
    } else {
      copying = testing::wait_in_directory(
          sink.parent_path(), [&] { return sink_size() > 0; }, kPatience);
    }
    ASSERT_TRUE(copying) << "the copy did not begin";

    exchange.replies().close();
    gate.open_wide();
    const auto ended = exchange.helper().wait(kPatience);
    ASSERT_TRUE(ended.has_value()) << "the helper went on after its client went away";
    EXPECT_EQ(ended->signal, 0);
    EXPECT_EQ(ended->exit_status, 1);
    EXPECT_EQ(ended->err, kBrokenPipe);
    EXPECT_LT(sink_size(), image.size) << "the copy went on to the end";
  }
}

TEST_F(ProgressThroughTheBinary, ASignalBeforeAnyRequestEndsTheHelperAsByDefault) {
  struct Case {
    std::string_view what;
    std::vector<std::string> args;
    int signal;
  };
  const auto socket = dir.path() / "idle.sock";
  auto listening = args();
  listening.insert(listening.end(), {"--listen-unix", socket.string()});
  const Case cases[] = {
      {"SIGTERM while reading standard input", args(), SIGTERM},
      {"SIGINT while reading standard input", args(), SIGINT},
      {"SIGTERM while waiting for a connection", listening, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunningProcess helper(testing::helper_binary(), c.args);  // its input stays open and empty
    // The helper takes both signals over on a thread of its own first thing;
    // once that thread runs, the signal meets the helper's own handling and
    // not the moments before it.
    ASSERT_TRUE(wait_for_threads(helper.pid(), 2)) << "the helper did not start";
    ASSERT_TRUE(helper.signal(c.signal));
    const auto ended = helper.wait(kPatience);
    ASSERT_TRUE(ended.has_value()) << "the signal did not end the helper";
    EXPECT_EQ(ended->signal, c.signal);
    EXPECT_EQ(ended->exit_status, -1);
    EXPECT_EQ(ended->out, "");
    EXPECT_EQ(ended->err, "");
  }
}

}  // namespace
}  // namespace kelmar_vindle
