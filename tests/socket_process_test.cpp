// The Unix-socket transport through the real helper binary: one connection,
// one request, one reply, and the socket file removed afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "devices.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"
#include "unix_socket.hpp"

namespace kelmar_vindle {
namespace {

using testing::ProcessResult;
using testing::TempDir;

// Only keeps a broken helper from hanging the test; never a measure of speed.
constexpr std::chrono::milliseconds kPatience{60'000};

const std::string kCancel = R"({"v":1,"cmd":"cancel"})";
const std::string kCancelReply =
    R"({"evt":"result","ok":false,"error":"protocol","message":"cancel has no in-flight job in this dispatch"})"
    "\n";

using testing::connect_when_listening;
using testing::is_socket_file;

void send_all(const UniqueFd& fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ASSERT_GT(put, 0);
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
}

std::string receive_all(const UniqueFd& fd) {
  std::string received;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

class SocketTransport : public ::testing::Test {
 protected:
  void SetUp() override { fixture = dir.write("devices.json", testing::mock_list_text({testing::usb_stick("S")})); }

  // Starts the helper on `path`; the result is ready once it has ended.
  std::future<ProcessResult> start(const std::filesystem::path& path) {
    return std::async(std::launch::async, [this, path] {
      return testing::run_helper({.args = {"--fixture", fixture.string(), "--listen-unix", path.string()}});
    });
  }

  TempDir dir;
  std::filesystem::path fixture;
};

TEST_F(SocketTransport, AnswersOneRequestAndRemovesTheSocket) {
  const auto path = dir.write("helper.sock", "a regular file left at the path");
  auto helper = start(path);
  const UniqueFd client = connect_when_listening(path);
  ASSERT_TRUE(client.valid());
  send_all(client, kCancel + "\n");
  EXPECT_EQ(receive_all(client), kCancelReply);

  const ProcessResult result = helper.get();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SocketTransport, ClientThatOnlyShutsDownItsSendingSideIsAnswered) {
  const auto path = dir.path() / "s";
  auto helper = start(path);
  const UniqueFd client = connect_when_listening(path);
  ASSERT_TRUE(client.valid());
  send_all(client, kCancel);  // no line feed: the end of input ends the line
  ::shutdown(client.get(), SHUT_WR);
  EXPECT_EQ(receive_all(client), kCancelReply);
  EXPECT_EQ(helper.get().exit_status, 0);

  auto second = start(path);
  const UniqueFd silent = connect_when_listening(path);
  ASSERT_TRUE(silent.valid());
  ::shutdown(silent.get(), SHUT_WR);
  EXPECT_NE(receive_all(silent).find("EOF while parsing a value"), std::string::npos);
  EXPECT_EQ(second.get().exit_status, 0);
}

TEST_F(SocketTransport, ClientGoneBeforeTheReplyFailsTheModeAndLeavesTheSocket) {
  const auto path = dir.path() / "s";
  testing::RunningProcess helper(testing::helper_binary(),
                                 {"--fixture", fixture.string(), "--listen-unix", path.string()});
  {
    const UniqueFd client = connect_when_listening(path);
    ASSERT_TRUE(client.valid());
    // Held still from before the request is sent until the client is gone,
    // the helper cannot have answered by then, however the two are scheduled.
    ASSERT_TRUE(helper.pause()) << "the helper ended before it was sent a request";
    send_all(client, kCancel + "\n");
  }  // closed before reading the reply
  ASSERT_TRUE(helper.resume());
  const auto result = helper.wait(kPatience);
  ASSERT_TRUE(result.has_value()) << "the helper did not end";
  EXPECT_EQ(result->exit_status, 1);
  EXPECT_EQ(result->err, "helper error: Broken pipe (os error 32)\n");
  EXPECT_TRUE(is_socket_file(path));
}

TEST_F(SocketTransport, AClientThatSendsNothingIsWaitedForOnlyAsLongAsAsked) {
  const auto path = dir.path() / "idle.sock";
  auto helper = std::async(std::launch::async, [this, path] {
    return testing::run_helper(
        {.args = {"--fixture", fixture.string(), "--listen-unix", path.string(), "--client-timeout", "1"}});
  });
  const UniqueFd client = connect_when_listening(path);
  ASSERT_TRUE(client.valid());
  const ProcessResult result = helper.get();  // the client stays connected and silent
  EXPECT_EQ(result.err, "helper error: client sent no request within 1 seconds\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(testing::run_helper({.args = {"--client-timeout", "soon"}}).err,
            "helper error: --client-timeout is not a number of seconds\n");
}

// The limit is for the whole request: a client that sends a byte now and
// then, each well within the limit, is not waited on past it.
TEST_F(SocketTransport, AClientThatTricklesItsRequestIsWaitedForOnlyAsLongAsAsked) {
  const auto path = dir.path() / "trickle.sock";
  auto helper = std::async(std::launch::async, [this, path] {
    return testing::run_helper(
        {.args = {"--fixture", fixture.string(), "--listen-unix", path.string(), "--client-timeout", "1"}});
  });
  const UniqueFd client = connect_when_listening(path);
  ASSERT_TRUE(client.valid());
  std::atomic<bool> done{false};
  // White space that never ends the line, a byte every 300 ms (the client's
  // pace, not a wait for the helper), until the helper closes the connection
  // or ends: that event cuts the pause short.
  std::thread trickler([&] {
    while (!done.load() && ::send(client.get(), " ", 1, MSG_NOSIGNAL) == 1) {
      pollfd closed{client.get(), POLLIN | POLLRDHUP, 0};
      if (::poll(&closed, 1, 300) > 0) break;
    }
  });
  // Only keeps a helper that waits forever from hanging the test.
  const bool ended = helper.wait_for(kPatience) == std::future_status::ready;
  done.store(true);
  if (!ended) ::shutdown(client.get(), SHUT_RDWR);  // lets the helper go on to its end
  trickler.join();
  const ProcessResult result = helper.get();
  EXPECT_TRUE(ended) << "the helper still waited for the trickling client";
  EXPECT_EQ(result.err, "helper error: client sent no request within 1 seconds\n");
  EXPECT_EQ(result.exit_status, 1);
}

TEST_F(SocketTransport, BindFailuresEndTheProcess) {
  const std::string too_long = (dir.path() / std::string(120, 'x')).string();
  struct Case {
    std::string path;
    std::string failure;
  };
  const auto directory = dir.path() / "a-directory";
  std::filesystem::create_directory(directory);
  const Case cases[] = {
      {directory.string(), "Is a directory (os error 21)"},  // a directory at the path is not replaced
      // A directory that others may write (sticky or not) could hold an impostor's name first.
      {"/tmp/kelmar_vindle_socket_test.sock",
       "socket directory /tmp may be written by users other than root and the client"},
      {too_long, "path must be shorter than SUN_LEN"},
      {(dir.path() / "missing" / "s").string(), "No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    const auto result = testing::run_helper({.args = {"--fixture", fixture.string(), "--listen-unix", c.path}});
    EXPECT_EQ(result.err, "helper error: " + c.failure + "\n") << c.path;
    EXPECT_EQ(result.exit_status, 1);
  }
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_FALSE(is_socket_file(entry.path())) << "no fresh name is left behind: " << entry.path();
  }
}

}  // namespace
}  // namespace kelmar_vindle
