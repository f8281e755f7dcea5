// The helper runs as root but opens the image its client names with the
// client's rights: a file the client could not read itself is refused as
// the system refuses it, and the reply tells nothing else about it. Through
// the real binary, with a real unprivileged client (a child that drops to
// the user "nobody").
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "staging.hpp"
#include "temp_dir.hpp"
#include "unix_socket.hpp"

namespace kelmar_vindle {
namespace {

using testing::TempDir;

constexpr std::string_view kPermissionDenied = "I/O error: Permission denied (os error 13)";

// Sends `request` over the socket at `path` from a child that has become
// `user` (its own group and supplementary groups, nothing of root's), and
// returns the reply the child read. With `send_open`, the child opens that
// file itself, as the user, and sends the descriptor with the request.
std::string exchange_as(const passwd& user, const std::string& path, const std::string& request,
                        const std::string& send_open = {}) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    const gid_t group = user.pw_gid;
    if (::setgroups(1, &group) != 0 || ::setgid(user.pw_gid) != 0 || ::setuid(user.pw_uid) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(3);
    iovec bytes{const_cast<char*>(request.data()), request.size()};
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (!send_open.empty()) {
      const int image = ::open(send_open.c_str(), O_RDONLY);
      if (image < 0) ::_exit(6);
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &image, sizeof image);
    }
    // A helper that refuses this client may close the connection before the
    // request is sent; then there is no reply to read, which the caller sees.
    static_cast<void>(::sendmsg(fd, &message, MSG_NOSIGNAL));
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
      if (::write(pipe_ends[1], buffer, static_cast<std::size_t>(got)) != got) ::_exit(5);
    }
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::string reply;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "client failed with " + std::to_string(status);
  return reply;
}

json::Value reply_of(std::string_view text) {
  auto reply = json::parse(text, json::DuplicateMembers::LastWins);
  EXPECT_TRUE(reply.has_value()) << text;
  return reply.value_or(json::Value::object());
}

class ClientRights : public ::testing::Test {
 protected:
  void SetUp() override {
    const passwd* found = ::getpwnam("nobody");
    if (::geteuid() != 0 || found == nullptr || found->pw_uid == 0) {
      GTEST_SKIP() << "needs root and an unprivileged user named nobody";
    }
    nobody = *found;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    if (const auto why = testing::unreachable_for_others(dir.path())) {
      GTEST_SKIP() << "the client nobody cannot reach the test's images and socket: " << *why;
    }
    secret = make_image("secret.iso", 0600, 0);
    world = make_image("world.iso", 0644, 0);
    group = make_image("group.iso", 0640, nobody.pw_gid);
    fixture = dir.write("devices.json", testing::mock_list_text({stick}));
  }

  std::filesystem::path make_image(std::string_view name, mode_t mode, gid_t owner_group) const {
    const auto path = dir.write(name, image);
    EXPECT_EQ(::chown(path.c_str(), 0, owner_group), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string request(const std::filesystem::path& path, std::string_view bytes) const {
    return testing::request_line("write", path.string(), bytes, stick.identity);
  }

  TempDir dir;
  passwd nobody{};
  const std::string image = std::string(300'000, 'i') + "mage";
  const DeviceCandidate stick = testing::usb_stick("RIGHTS-1", "disk4", 64'000'000);
  std::filesystem::path secret, world, group, fixture;
};

TEST_F(ClientRights, TheLaunchingUserOfStandardInputReadsOnlyWhatItMayRead) {
  const std::string uid = std::to_string(nobody.pw_uid);
  const std::string gid = std::to_string(nobody.pw_gid);
  // The sink is the launching user's too: a directory of theirs.
  const auto sinks = dir.path() / "nobodys";
  std::filesystem::create_directory(sinks);
  ASSERT_EQ(::chown(sinks.c_str(), nobody.pw_uid, nobody.pw_gid), 0);
  const auto sink = sinks / "sink.img";
  struct Case {
    std::string_view what;
    std::vector<std::string> env;
    std::filesystem::path image;
    std::string_view claimed;  // what the job says the image holds
    bool ok;
  };
  const std::string one_byte = "x";
  const Case cases[] = {
      {"sudo: a root-only file, any claimed size", {"SUDO_UID=" + uid, "SUDO_GID=" + gid}, secret, one_byte, false},
      {"sudo: a root-only file, its true size and digest",
       {"SUDO_UID=" + uid, "SUDO_GID=" + gid},
       secret,
       image,
       false},
      {"sudo: a file anyone may read", {"SUDO_UID=" + uid, "SUDO_GID=" + gid}, world, image, true},
      {"sudo: a file its group may read", {"SUDO_UID=" + uid, "SUDO_GID=" + gid}, group, image, true},
      {"pkexec: a root-only file", {"PKEXEC_UID=" + uid}, secret, image, false},
      {"pkexec: a file its group may read", {"PKEXEC_UID=" + uid}, group, image, true},
      {"root itself keeps root's rights", {}, secret, image, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(sink);
    const auto result = testing::run_helper({.args = {"--fixture", fixture.string(), "--sink", sink.string()},
                                             .env = c.env,
                                             .stdin_text = request(c.image, c.claimed)});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto reply = reply_of(result.out);
    EXPECT_EQ(reply.value("ok", json::Value()), c.ok) << result.out;
    if (c.ok) {
      EXPECT_EQ(testing::read_file(sink), image);
    } else {
      EXPECT_EQ(reply.value("message", json::Value()), kPermissionDenied) << "nothing else about the file";
      EXPECT_FALSE(std::filesystem::exists(sink));
    }
  }
  // A launcher variable that names no user stops the helper before it serves.
  const auto result = testing::run_helper({.args = {"--fixture", fixture.string()}, .env = {"SUDO_UID=nobody"}});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "helper error: SUDO_UID is not a user ID\n");
}

// Creating a file as the client: only where the client may write, owned by
// the client, with the mode asked for (less the umask, 022 here).
TEST_F(ClientRights, OpenAsClientCreatesOnlyWhereTheClientMayWrite) {
  const Client as_nobody = Client::of_user(nobody.pw_uid);
  const auto theirs = dir.path() / "theirs";
  std::filesystem::create_directory(theirs);
  ASSERT_EQ(::chown(theirs.c_str(), nobody.pw_uid, nobody.pw_gid), 0);
  struct Case {
    std::filesystem::path path;
    std::optional<std::string> refusal;  // none: created
  };
  const Case cases[] = {
      {theirs / "made.img", std::nullopt},
      {dir.path() / "roots.img", "Permission denied (os error 13)"},
  };
  const mode_t umask_before = ::umask(022);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    const auto fd = open_as_client(as_nobody, c.path, O_WRONLY | O_CREAT | O_EXCL, 0640);
    if (c.refusal) {
      ASSERT_FALSE(fd);
      EXPECT_EQ(fd.error().detail(), *c.refusal);
      EXPECT_FALSE(std::filesystem::exists(c.path));
      continue;
    }
    ASSERT_TRUE(fd) << fd.error().text();
    struct stat made {};
    ASSERT_EQ(::fstat(fd->get(), &made), 0);
    EXPECT_EQ(made.st_uid, nobody.pw_uid);
    EXPECT_EQ(made.st_mode & 07777, 0640u);
  }
  ::umask(umask_before);
}

TEST_F(ClientRights, TheSocketsPeerReadsOnlyWhatItMayRead) {
  const auto sink = dir.path() / "sink.img";
  const std::string socket_path = (dir.path() / "helper.sock").string();
  // The client may open the image itself and hand it over: then the path is
  // only reported, never opened, even one the client could not read.
  const std::string other = "another image, which the client holds open";
  const auto handed = dir.write("handed.iso", other);
  struct Case {
    std::string_view what;
    std::filesystem::path image;
    std::string_view claimed;
    bool ok;
    std::string sent = {};  // a file the client opens and sends
  };
  const Case cases[] = {
      {"a root-only file, a wrong size", secret, "x", false},
      {"a root-only file, its true size and digest", secret, image, false},
      {"a file anyone may read", world, image, true},
      {"a file its group may read", group, image, true},
      {"a descriptor of its own, the path root-only", secret, other, true, handed.string()},
      {"a descriptor that is no regular file", world, image, false, "/dev/null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(sink);
    testing::ProcessResult served;
    // umask 0: the socket must let the unprivileged client in.
    std::thread helper([&] {
      served = testing::run_process(
          "/bin/sh", {.args = {"-c", "umask 000; exec \"$0\" \"$@\"", testing::helper_binary(), "--listen-unix",
                               socket_path, "--fixture", fixture.string(), "--sink", sink.string()}});
    });
    // Once the socket is at its path the helper listens (a client that
    // came earlier would find nothing there).
    EXPECT_TRUE(testing::wait_for_socket(socket_path)) << "the helper did not listen";
    const std::string reply_text = exchange_as(nobody, socket_path, request(c.image, c.claimed), c.sent);
    helper.join();
    ASSERT_EQ(served.exit_status, 0) << served.err;
    const auto reply = reply_of(reply_text);
    EXPECT_EQ(reply.value("ok", json::Value()), c.ok) << reply_text;
    if (c.ok) {
      EXPECT_EQ(testing::read_file(sink), c.claimed) << "what the job names is what was written";
    } else if (c.sent.empty()) {
      EXPECT_EQ(reply.value("message", json::Value()), kPermissionDenied) << "nothing else about the file";
    } else {
      EXPECT_EQ(reply.value("message", json::Value()), "I/O error: image is not a regular file");
    }
  }
}

TEST_F(ClientRights, ASocketForOneClientServesOnlyThatClient) {
  const passwd* other = ::getpwnam("daemon");
  if (other == nullptr || other->pw_uid == 0 || other->pw_uid == nobody.pw_uid) {
    GTEST_SKIP() << "needs a second unprivileged user named daemon";
  }
  const passwd stranger = *other;
  const std::string socket_path = (dir.path() / "helper.sock").string();
  testing::ProcessResult served;
  std::thread helper([&] {
    served = testing::run_helper({.args = {"--listen-unix", socket_path, "--client-uid", std::to_string(nobody.pw_uid),
                                           "--fixture", fixture.string(), "--sink", (dir.path() / "sink").string()}});
  });
  EXPECT_TRUE(testing::wait_for_socket(socket_path)) << "the helper did not listen";
  struct stat info {};
  ASSERT_EQ(::lstat(socket_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, nobody.pw_uid);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "only the client (and root) may connect";

  // Even through a socket opened to everyone, another user gets no answer.
  ASSERT_EQ(::chmod(socket_path.c_str(), 0666), 0);
  const std::string cancel = "{\"v\":1,\"cmd\":\"cancel\"}\n";
  EXPECT_EQ(exchange_as(stranger, socket_path, cancel), "") << "closed without a reply";
  const auto reply = reply_of(exchange_as(nobody, socket_path, cancel));
  EXPECT_EQ(reply.value("message", json::Value()), "cancel has no in-flight job in this dispatch");
  helper.join();
  EXPECT_EQ(served.exit_status, 0) << served.err;

  // In the standard-input mode the option names the client.
  const auto result = testing::run_helper({.args = {"--client-uid", std::to_string(nobody.pw_uid), "--fixture",
                                                    fixture.string(), "--sink", (dir.path() / "sink").string()},
                                           .stdin_text = request(secret, image)});
  EXPECT_EQ(reply_of(result.out).value("message", json::Value()), kPermissionDenied);

  for (const auto& [args, failure] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--client-uid", "nobody"}, "--client-uid is not a user ID"},
           {{"--client-uid", "65534", "--client-gid", "-1"}, "--client-gid is not a group ID"},
           {{"--client-gid", "65534"}, "--client-gid needs --client-uid"}}) {
    const auto refused = testing::run_helper({.args = args});
    EXPECT_EQ(refused.err, "helper error: " + failure + "\n");
    EXPECT_EQ(refused.exit_status, 1);
  }
}

TEST_F(ClientRights, TheRawBackendReadsOnlyWhatTheClientMayRead) {
  if (!testing::private_mount_namespace_available()) {
    GTEST_SKIP() << "needs root and a private mount namespace (unshare --mount), which this machine refuses";
  }
  // The test device under real writes, a fake disk utility and a file as its
  // raw node (the macOS naming, which every host follows for such a target).
  const DeviceCandidate test_stick = testing::usb_stick("5B3E91D0A7C4F268", "disk4", 8009023488);
  const auto list = dir.write("test-device.json", testing::mock_list_text({test_stick}));
  const auto node = dir.write("stick.img", std::string(1048576, 'X'));
  const auto utility = dir.write("diskutil", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(utility, std::filesystem::perms::owner_all);
  const std::vector<std::string> args{"--fixture", list.string(), "--allow-real-write", "--expect-serial",
                                      "5B3E91D0A7C4F268"};
  const std::string as_nobody = "SUDO_UID=" + std::to_string(nobody.pw_uid);
  const auto run = [&](const std::filesystem::path& path) {
    return testing::run_helper_with_fake_disk(utility.string(), "ln -s '" + node.string() + "' /dev/rdisk4", args,
                                              testing::request_line("write", path.string(), image, test_stick.identity),
                                              {as_nobody});
  };
  auto reply = reply_of(run(secret).out);
  EXPECT_EQ(reply.value("message", json::Value()), kPermissionDenied);
  EXPECT_EQ(testing::read_file(node), std::string(1048576, 'X')) << "nothing written";

  reply = reply_of(run(group).out);
  EXPECT_EQ(reply.value("ok", json::Value()), true) << reply.dump();
  EXPECT_TRUE(testing::read_file(node).starts_with(image));
}

}  // namespace
}  // namespace kelmar_vindle
