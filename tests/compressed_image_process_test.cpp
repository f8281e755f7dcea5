// Compressed and streamed images through the real helper binary and the
// decoder beside it, onto the file sink: each format writes the decoded
// image and reports its digest; a wrong published digest is refused before
// the sink exists; corrupt data, a truncated or altered stream and an image
// larger than the disk each end with the sink's first MiB zero; and the
// decoder runs as the client (as nobody for a client that is root), never
// as root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "staging.hpp"
#include "temp_dir.hpp"
#include "unix_socket.hpp"

namespace kelmar_vindle {
namespace {

using testing::TempDir;

constexpr std::size_t kMiB = 1048576;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return bytes;
}

json::Value reply_of(std::string_view text) {
  auto reply = json::parse(text.substr(0, text.find('\n')), json::DuplicateMembers::LastWins);
  EXPECT_TRUE(reply.has_value()) << text;
  return reply.value_or(json::Value::object());
}

// The uid a process runs as, from its status file; none once it is gone.
std::optional<uid_t> uid_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Uid:")) return static_cast<uid_t>(std::stoul(line.substr(4)));
  }
  return std::nullopt;
}

// The decoder among the children of `parent`, if one runs.
std::optional<pid_t> decoder_child_of(pid_t parent) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    const auto open = text.find('(');
    if (close == std::string::npos || open == std::string::npos) continue;
    const std::string comm = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && comm.starts_with("kelmar_vindle_d")) return static_cast<pid_t>(std::stol(name));
  }
  return std::nullopt;
}

class CompressedImages : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture = dir.write("devices.json", testing::mock_list_text({stick}));
    sink = dir.path() / "out" / "usb.img";
  }

  // `command` (a shell pipeline from standard input to standard output) over `input`.
  std::string filtered(std::string_view command, const std::string& input) const {
    const auto in = dir.write("filter.in", input);
    const auto out = dir.path() / "filter.out";
    const auto run = testing::run_process(
        "/bin/sh", {.args = {"-c", std::string(command) + " < '" + in.string() + "' > '" + out.string() + "'"},
                    .env = {"PATH=/usr/bin:/bin"}});
    EXPECT_EQ(run.exit_status, 0) << command << ": " << run.err;
    return testing::read_file(out);
  }

  json::Value write_file_job(const std::string& given, std::string_view claimed) {
    const auto path = dir.write("image.bin", given);
    const auto result =
        testing::run_helper({.args = {"--fixture", fixture.string(), "--sink", sink.string()},
                             .stdin_text = testing::request_line("write", path.string(), claimed, stick.identity)});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return reply_of(result.out);
  }

  std::string sink_start() const { return testing::read_file(sink).substr(0, kMiB); }

  TempDir dir;
  const DeviceCandidate stick = testing::usb_stick("PACKED-1", "disk4", 6 * kMiB);
  std::filesystem::path fixture;
  std::filesystem::path sink;
};

TEST_F(CompressedImages, EachFormatWritesTheDecodedImage) {
  const std::string image = patterned(3 * kMiB + 512);
  const auto digest = checksum::sha256_hex(image);
  const std::string zip_command =
      "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.stdout.buffer, \"w\", zipfile.ZIP_DEFLATED); "
      "z.writestr(\"disk.img\", sys.stdin.buffer.read()); z.close()'";
  const struct {
    std::string_view format;
    std::string command;
  } formats[] = {{"xz", "xz -c -T2 --block-size=1MiB"},
                 {"gzip", "gzip -c"},
                 {"zstd", "zstd -c -q"},
                 {"bzip2", "bzip2 -c"},
                 {"zip", zip_command}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.format);
    std::filesystem::remove(sink);
    const std::string given = filtered(f.command, image);
    const auto reply = write_file_job(given, given);
    EXPECT_EQ(reply.value("ok", json::Value()), true) << reply.dump();
    EXPECT_EQ(reply.value("usb_sha256", json::Value()), digest);
    EXPECT_EQ(testing::read_file(sink), image);
  }
}

TEST_F(CompressedImages, RefusalsBeforeTheSinkAndFailuresThatZeroItsStart) {
  const std::string image = patterned(3 * kMiB);
  const std::string gz = filtered("gzip -c", image);
  std::string corrupt = gz;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
  const std::string bomb = filtered("gzip -c", std::string(40 * kMiB, '\0'));
  const std::string stated_bomb = filtered("xz -c", std::string(40 * kMiB, '\0'));
  const struct {
    std::string_view what;
    std::string given;
    std::string claimed;
    bool sink_made;  // false: refused before the sink exists
    std::string_view message;
  } cases[] = {
      {"a wrong published digest", gz, gz + "x", false, ""},
      {"a decoded length stated over the disk", stated_bomb, stated_bomb, false,
       "I/O error: the decoded image is longer than the disk (more than 6291456 bytes)"},
      {"corrupt gzip data", corrupt, corrupt, true, "I/O error: decoding the image failed: the gzip data is corrupt"},
      {"a gzip bomb larger than the disk", bomb, bomb, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(sink.parent_path());
    const auto reply = write_file_job(c.given, c.claimed);
    EXPECT_EQ(reply.value("ok", json::Value()), false) << reply.dump();
    if (!c.message.empty()) {
      EXPECT_EQ(reply.value("message", json::Value()), c.message);
    }
    EXPECT_EQ(std::filesystem::exists(sink), c.sink_made);
    if (c.sink_made) {
      EXPECT_EQ(sink_start(), std::string(kMiB, '\0'));
    }
  }
}

// A client that streams its image through a pipe it hands over with the
// request, as `user` (root when none), in a forked child: it sends
// `first`, waits for a byte on `go` (when given; with `hang_up`, for two:
// it closes its connection after the first, the pipe still open), sends
// `rest`, closes the pipe and passes the reply back through `reply`. `parents_ends` are
// the test's own ends of those pipes, closed in the child.
pid_t stream_as(const passwd* user, const std::string& socket_path, const std::string& request, std::string_view first,
                std::string_view rest, int go, int reply, std::initializer_list<int> parents_ends,
                bool hang_up = false) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  for (const int other : parents_ends) ::close(other);
  if (user != nullptr) {
    const gid_t group = user->pw_gid;
    if (::setgroups(1, &group) != 0 || ::setgid(user->pw_gid) != 0 || ::setuid(user->pw_uid) != 0) ::_exit(2);
  }
  int stream[2];
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
  if (::pipe(stream) != 0 || fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    ::_exit(3);
  iovec bytes{const_cast<char*>(request.data()), request.size()};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &stream[0], sizeof(int));
  if (::sendmsg(fd, &message, MSG_NOSIGNAL) < 0) ::_exit(4);
  ::close(stream[0]);
  ::signal(SIGPIPE, SIG_IGN);
  const auto send = [&](std::string_view part) {
    while (!part.empty()) {
      const ssize_t put = ::write(stream[1], part.data(), part.size());
      if (put <= 0) return;
      part.remove_prefix(static_cast<std::size_t>(put));
    }
  };
  send(first);
  if (hang_up) {
    char byte = 0;
    if (::read(go, &byte, 1) != 1) ::_exit(5);
    ::close(fd);
  }
  if (go >= 0) {
    char byte = 0;
    if (::read(go, &byte, 1) != 1) ::_exit(5);
  }
  send(rest);
  ::close(stream[1]);
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    if (::write(reply, buffer, static_cast<std::size_t>(got)) != got) ::_exit(6);
  }
  ::_exit(0);
}

class StreamedImages : public CompressedImages {
 protected:
  void SetUp() override {
    CompressedImages::SetUp();
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  }

  struct Streamed {
    json::Value reply;
    std::optional<uid_t> decoder_uid;  // seen while the stream was held back
  };

  // Serves one streamed request; with `hold`, the stream stops after its
  // first half until the decoder has been looked at.
  Streamed stream(const passwd* user, const std::string& given, const std::string& claimed, bool hold = false) {
    const std::string socket_path = (dir.path() / "helper.sock").string();
    std::vector<std::string> args = {"--listen-unix",  socket_path, "--fixture",
                                     fixture.string(), "--sink",    sink.string()};
    if (user != nullptr) {
      args.insert(args.end(), {"--client-uid", std::to_string(user->pw_uid)});
    }
    testing::RunningProcess helper("/bin/sh", [&] {
      std::vector<std::string> all = {"-c", "umask 000; exec \"$0\" \"$@\"", testing::helper_binary()};
      all.insert(all.end(), args.begin(), args.end());
      return all;
    }());
    EXPECT_TRUE(testing::wait_for_socket(socket_path)) << "the helper did not listen";
    int go[2], reply[2];
    EXPECT_EQ(::pipe(go), 0);
    EXPECT_EQ(::pipe(reply), 0);
    const std::string request = testing::request_line("write", "/nonexistent/streamed.img", claimed, stick.identity);
    const std::size_t half = hold ? given.size() / 2 : given.size();
    const pid_t client =
        stream_as(user, socket_path, request, std::string_view(given).substr(0, half),
                  std::string_view(given).substr(half), hold ? go[0] : -1, reply[1], {go[1], reply[0]});
    ::close(go[0]);
    ::close(reply[1]);
    Streamed result;
    if (hold) {
      // The decoder starts once the stream's first bytes came; wait for it.
      std::optional<pid_t> decoder;
      for (int tries = 0; tries < 3000 && !decoder; ++tries) {
        decoder = decoder_child_of(helper.pid());
        if (!decoder) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (decoder) result.decoder_uid = uid_of(*decoder);
    }
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(reply[0], buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(reply[0]);
    int status = 0;
    ::waitpid(client, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    helper.signal(SIGTERM);
    static_cast<void>(helper.wait(std::chrono::seconds(60)));
    result.reply = reply_of(text);
    return result;
  }
};

TEST_F(StreamedImages, AStreamIsDecodedAndCheckedAsItIsWritten) {
  const std::string image = patterned(3 * kMiB + 100);
  const std::string xz = filtered("xz -c", image);
  const struct {
    std::string_view what;
    std::string given;
    std::string claimed;
    bool ok;
  } cases[] = {
      {"a plain stream", image, image, true},
      {"an xz stream", xz, xz, true},
      {"a truncated stream", xz.substr(0, xz.size() - 100), xz, false},
      {"a stream whose digest differs", xz, std::string(xz).replace(0, 1, "x"), false},
      {"a plain stream whose digest differs", image, std::string(image).replace(0, 1, "x"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(sink.parent_path());
    const auto streamed = stream(nullptr, c.given, c.claimed);
    EXPECT_EQ(streamed.reply.value("ok", json::Value()), c.ok) << streamed.reply.dump();
    if (c.ok) {
      EXPECT_EQ(streamed.reply.value("usb_sha256", json::Value()), checksum::sha256_hex(image));
      EXPECT_EQ(testing::read_file(sink), image);
    } else {
      EXPECT_EQ(sink_start(), std::string(kMiB, '\0'));
    }
  }
}

// A client that goes away while its stream stalls (the pipe still open, no
// byte coming) ends the job at once: the helper looks at its client while
// it waits for the stream, and the held-back first MiB is zeros.
TEST_F(StreamedImages, AClientThatHangsUpWhileItsStreamStallsEndsTheJob) {
  const std::string image = patterned(4 * kMiB);
  const std::string socket_path = (dir.path() / "helper.sock").string();
  testing::RunningProcess helper(
      testing::helper_binary(), {"--listen-unix", socket_path, "--fixture", fixture.string(), "--sink", sink.string()});
  ASSERT_TRUE(testing::wait_for_socket(socket_path)) << "the helper did not listen";
  int go[2], reply[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(reply), 0);
  const std::string request = testing::request_line("write", "/nonexistent/streamed.img", image, stick.identity);
  const std::string_view given(image);
  const pid_t client = stream_as(nullptr, socket_path, request, given.substr(0, 2 * kMiB), given.substr(2 * kMiB),
                                 go[0], reply[1], {go[1], reply[0]}, true);
  ::close(go[0]);
  ::close(reply[1]);
  // The client goes only once the helper has written what came and waits
  // for more (its second MiB on the sink; the first is held back).
  bool waiting = false;
  for (int tries = 0; tries < 6000 && !waiting; ++tries) {
    waiting = std::filesystem::exists(sink) && std::filesystem::file_size(sink) >= 2 * kMiB;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(waiting) << "the helper never wrote the stream's second MiB";
  EXPECT_EQ(::write(go[1], "g", 1), 1);
  const auto ended = helper.wait(std::chrono::seconds(60));
  // Only now may the client finish its stream (and its process end).
  EXPECT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  ::close(reply[0]);
  int status = 0;
  ::waitpid(client, &status, 0);
  ASSERT_TRUE(ended.has_value()) << "the helper still waits for a stream whose client went away";
  // Whether it had begun writing when it saw the client go is the
  // scheduler's choice; either way the image's start is not there.
  const std::string start = std::filesystem::exists(sink) ? sink_start() : std::string();
  EXPECT_TRUE(start.empty() || start == std::string(kMiB, '\0')) << start.size();
}

TEST_F(StreamedImages, TheDecoderRunsAsTheClientAndNeverAsRoot) {
  const passwd* found = ::getpwnam("nobody");
  if (::geteuid() != 0 || found == nullptr || found->pw_uid == 0) {
    GTEST_SKIP() << "needs root and an unprivileged user named nobody";
  }
  const passwd nobody = *found;
  if (const auto why = testing::unreachable_for_others(dir.path())) {
    GTEST_SKIP() << "the client nobody cannot reach the test's socket: " << *why;
  }
  const std::string image = patterned(4 * kMiB);
  const std::string gz = filtered("gzip -c", image);
  for (const passwd* client : {&nobody, static_cast<const passwd*>(nullptr)}) {
    SCOPED_TRACE(client != nullptr ? "the client nobody" : "a client that is root");
    std::filesystem::remove_all(sink.parent_path());
    const auto streamed = stream(client, gz, gz, true);
    EXPECT_EQ(streamed.reply.value("ok", json::Value()), true) << streamed.reply.dump();
    ASSERT_TRUE(streamed.decoder_uid.has_value()) << "no decoder was seen while the stream was held";
    EXPECT_EQ(*streamed.decoder_uid, nobody.pw_uid);
    EXPECT_EQ(testing::read_file(sink), image);
  }
}

}  // namespace
}  // namespace kelmar_vindle
