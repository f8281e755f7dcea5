// Start-up as the real process shows it: one "helper error: {}" line on
// standard error, status 1, nothing on standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include <filesystem>

#include "devices.hpp"
#include "frontend_runner.hpp"
#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/version.hpp"
#include "polkit_authority.hpp"
#include "process_runner.hpp"
#include "staging.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::ProcessRun;
using testing::run_helper;
using testing::TempDir;

// `--listen-pipe` is refused only after every other start-up check passed, so
// its text shows that the device source and backend were settled.
constexpr std::string_view kSettled = "named pipe listen is Windows-only";

void expect_failure(const ProcessRun& run, std::string_view text) {
  const auto result = run_helper(run);
  EXPECT_EQ(result.err, "helper error: " + std::string(text) + "\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.out, "");
}

TEST(StartupProcess, FailureTable) {
  TempDir dir;
  const auto missing = (dir.path() / "missing.json").string();
  const auto deep = dir.write("deep.json", std::string(1'000'000, '[')).string();
  const auto latin1 = dir.write("latin1.json", "[\"\xE9\"]").string();
  const auto comma = dir.write("comma.json", "[],").string();
  const auto empty_list = dir.write("empty.json", "[]\n").string();
  struct Case {
    ProcessRun run;
    std::string text;
  };
  const Case cases[] = {
      {{.args = {"--sink", "out.bin", "--allow-real-write"}}, "--sink and --allow-real-write cannot be used together"},
      {{.args = {"--sink", "--allow-real-write"}}, "--sink and --allow-real-write cannot be used together"},
      {{.args = {"--sink", "s"}, .env = {"KELMAR_VINDLE_ALLOW_REAL_WRITE=1"}},
       "--sink and --allow-real-write cannot be used together"},
      {{.args = {"--fixture", missing, "--allow-real-write"}}, missing + ": No such file or directory (os error 2)"},
      {{.args = {"--fixture", dir.path().string()}}, dir.path().string() + ": Is a directory (os error 21)"},
      {{.args = {"--fixture", deep}}, deep + ": recursion limit exceeded"},
      {{.args = {"--fixture", latin1}}, latin1 + ": stream did not contain valid UTF-8"},
      {{.args = {"--fixture", comma}}, comma + ": trailing characters at line 1 column 3"},
      {{.args = {"--allow-real-write"}}, "--allow-real-write requires --expect-serial"},
      {{.env = {"KELMAR_VINDLE_ALLOW_REAL_WRITE=1"}}, "--allow-real-write requires --expect-serial"},
      {{.args = {"--allow-real-write", "--expect-serial", "5b3e91d0a7c4f268"}},
       "device identity does not match the confirmed target"},
      {{.args = {"--allow-real-write", "--expect-serial", " 5B3E91D0A7C4F268"}},
       "device identity does not match the confirmed target"},
      {{.args = {"--allow-real-write", "--purchaser", "--expect-serial", " 482906735115", "--expect-size", "9"}},
       "device identity does not match the confirmed target"},
      {{.args = {"--allow-real-write", "--expect-size", "0"},
        .env = {"VINDLE_PROFILE=Purchaser", "KELMAR_VINDLE_EXPECT_SERIAL=ABC"}},
       "device identity does not match the confirmed target"},
      {{.args = {"--listen-pipe", "p", "--listen-xpc"}}, std::string(kSettled)},
      {{.args = {"--fixture", empty_list, "--allow-real-write", "--purchaser", "--listen-pipe", "p"}},
       std::string(kSettled)},
      {{.args = {"--allow-real-write", "--expect-serial", "5B3E91D0A7C4F268", "--expect-size", "5", "--listen-pipe",
                 "p"}},
       std::string(kSettled)},
      {{.args = {"--listen-pipe", "p"}, .env = {"KELMAR_VINDLE_ALLOW_REAL_WRITE=yes"}}, std::string(kSettled)},
      {{.args = {"--listen-xpc"}}, "xpc listen is macOS-only"},
      {{.env = {"KELMAR_VINDLE_LISTEN_XPC=1"}}, "xpc listen is macOS-only"},
      {{.args = {"--fixture", "caf\xE9"}}, "command-line argument 2 is not valid UTF-8"},
      {{.args = {"--authorize", "yes"}}, "--authorize takes polkit"},
      {{.args = {"--authorize-action", "com.example.write"}}, "--authorize-action needs --authorize polkit"},
      {{.args = {"--authorize", "polkit", "--authorize-action", "write"}},
       "--authorize-action is not a polkit action ID: write"},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& a : c.run.args) trace += a + " ";
    for (const auto& e : c.run.env) trace += "[" + e + "] ";
    SCOPED_TRACE(trace);
    expect_failure(c.run, c.text);
  }
}

struct SocketRun {
  int exit_status = -1;
  std::string err = {};
  std::string reply = {};
};

// Runs the helper as a socket-activated service would: standard input and
// output are one end of a connected Unix-domain socket whose other end, this
// process (root's, or whoever runs the test), sends `request` and reads the
// reply. Standard error is a pipe; the environment is `env` alone. Without
// a request the connection stays open and silent until the helper ends.
SocketRun run_on_socket(const std::vector<std::string>& args, const std::vector<std::string>& env,
                        const std::optional<std::string>& request) {
  int ends[2];
  int errors[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {.err = "socketpair failed"};
  if (::pipe2(errors, O_CLOEXEC) != 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return {.err = "pipe failed"};
  }
  UniqueFd client(ends[0]), service(ends[1]), error_read(errors[0]), error_write(errors[1]);
  std::vector<std::string> argv_text{testing::helper_binary()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = env;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::dup2(service.get(), 0) < 0 || ::dup2(service.get(), 1) < 0 || ::dup2(error_write.get(), 2) < 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  service = UniqueFd();
  error_write = UniqueFd();
  SocketRun run;
  if (child < 0) return {.err = "fork failed"};
  if (request) {
    // The helper may refuse before reading; the request then goes nowhere.
    static_cast<void>(::send(client.get(), request->data(), request->size(), MSG_NOSIGNAL));
    ::shutdown(client.get(), SHUT_WR);
  }
  run.reply = testing::LineReader(std::move(client)).next(std::chrono::seconds(30)).value_or("");
  testing::LineReader errors_reader(std::move(error_read));
  while (auto line = errors_reader.next(std::chrono::seconds(30))) run.err += *line + "\n";
  int status = 0;
  if (::waitpid(child, &status, 0) == child && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  return run;
}

// On a socket-activated standard input the kernel names the client, the
// socket's peer; a launcher or the command line naming someone else is
// refused before a byte of the request is read, never chosen between.
TEST(StartupProcess, ASocketActivatedServiceServesOnlyTheClientNamed) {
  TempDir dir;
  // The mock list is read as the launching user, whoever that is here.
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  const auto fixture = dir.write("devices.json", "[]").string();
  const std::string me = std::to_string(::getuid());
  const std::string other = std::to_string(::getuid() == 0 ? 65534 : 0);
  const std::string cancel = R"({"v":1,"cmd":"cancel"})"
                             "\n";
  const std::string cancel_reply =
      R"({"evt":"result","ok":false,"error":"protocol","message":"cancel has no in-flight job in this dispatch"})";
  struct Case {
    std::string_view what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    bool root_only;       // launcher variables count only when the real user is root
    std::string failure;  // empty: served
  };
  const Case cases[] = {
      {"nothing names a client", {}, {}, false, ""},
      {"--client-uid names the peer", {"--client-uid", me}, {}, false, ""},
      {"--client-uid names another user",
       {"--client-uid", other},
       {},
       false,
       "the socket's peer and --client-uid name different clients (" + me + " and " + other + ")"},
      {"SUDO_UID names the peer", {}, {"SUDO_UID=" + me}, true, ""},
      {"SUDO_UID names another user",
       {},
       {"SUDO_UID=" + other},
       true,
       "the socket's peer and SUDO_UID name different clients (" + me + " and " + other + ")"},
      {"PKEXEC_UID names another user",
       {},
       {"PKEXEC_UID=" + other},
       true,
       "the socket's peer and PKEXEC_UID name different clients (" + me + " and " + other + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.root_only && ::getuid() != 0) continue;
    std::vector<std::string> args{"--fixture", fixture};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = run_on_socket(args, c.env, cancel);
    if (c.failure.empty()) {
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.reply, cancel_reply);
    } else {
      EXPECT_EQ(run.err, "helper error: " + c.failure + "\n");
      EXPECT_EQ(run.exit_status, 1);
      EXPECT_EQ(run.reply, "") << "refused unanswered";
    }
  }
}

// A socket-activated service bounds its client's request as the socket
// mode does; and one told to ask polkit serves only a socket's peer, the
// one process the kernel names (a build without polkit says so first).
TEST(StartupProcess, ASocketOnStandardInputIsBoundedAndAuthorizationNeedsOne) {
  const auto silent = run_on_socket({"--client-timeout", "1"}, {}, std::nullopt);
  EXPECT_EQ(silent.err, "helper error: client sent no request within 1 seconds\n");
  EXPECT_EQ(silent.exit_status, 1);
  EXPECT_EQ(silent.reply, "");

  const auto polkit = helper::make_polkit_authorizer("com.example.test");
  const std::string refusal =
      polkit ? "--authorize needs a socket as standard input: only a socket's peer is a process the kernel vouches for"
             : polkit.error();
  expect_failure({.args = {"--authorize", "polkit"}, .stdin_text = "{\"v\":1,\"cmd\":\"cancel\"}\n"}, refusal);
}

// Start-up refuses launchers that disagree about the client, through the
// real process as root runs it.
TEST(StartupProcess, LaunchersThatNameDifferentClientsAreRefused) {
  if (::getuid() != 0) GTEST_SKIP() << "launcher variables count only when the real user is root";
  expect_failure({.env = {"PKEXEC_UID=1000", "SUDO_UID=1001"}},
                 "PKEXEC_UID and SUDO_UID name different clients (1000 and 1001)");
  expect_failure({.args = {"--client-uid", "1000"}, .env = {"SUDO_UID=1001", "SUDO_GID=1001"}},
                 "--client-uid and SUDO_UID name different clients (1000 and 1001)");
  expect_failure({.args = {"--client-uid", "1000"}, .env = {"PKEXEC_UID=0"}},
                 "--client-uid and PKEXEC_UID name different clients (1000 and 0)");
}

TEST(StartupProcess, FixtureAsLastArgumentFallsBackToThePlatform) {
  // The platform list is only consulted per request, so start-up passes.
  expect_failure({.args = {"--listen-pipe", "p", "--fixture"}}, kSettled);
}

TEST(StartupProcess, ClosedStandardStreamsDoNotBreakTheProcess) {
  TempDir dir;
  const auto missing = (dir.path() / "missing.json").string();
  // With standard output closed, the failure still reaches standard error.
  auto result = testing::run_helper({.args = {"--fixture", missing}, .closed_streams = {0, 1}});
  EXPECT_EQ(result.err, "helper error: " + missing + ": No such file or directory (os error 2)\n");
  EXPECT_EQ(result.exit_status, 1);
  // With nowhere to report to, the process still ends with status 1.
  result = testing::run_helper({.args = {"--allow-real-write"}, .closed_streams = {0, 1, 2}});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.signal, 0);
}

// --list-disks is what an application shows its user: the live list in the
// form the mock list reader takes back, with the identities a request's
// target is compared with.
TEST(DiskList, PrintsTheLiveListInTheFormItIsReadBackIn) {
  TempDir dir;
  DeviceCandidate internal = testing::usb_stick("", "disk0", 500'000'000'000);
  internal.is_system = internal.identity.is_system = true;
  const std::vector<DeviceCandidate> disks{testing::usb_stick("AC0E5717C4A91B02", "disk4"), internal};
  const auto fixture = dir.write("devices.json", testing::mock_list_text(disks)).string();
  const auto listed = run_helper({.args = {"--list-disks", "--fixture", fixture}});
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  ASSERT_TRUE(listed.out.ends_with("\n"));
  EXPECT_EQ(listed.out.find('\n'), listed.out.size() - 1) << "one line";
  const auto read_back = read_mock_device_list(listed.out);
  ASSERT_TRUE(read_back.has_value()) << read_back.error();
  EXPECT_EQ(*read_back, disks);

  expect_failure({.args = {"--list-disks", "--fixture", "/nonexistent/devices.json"}},
                 "/nonexistent/devices.json: No such file or directory (os error 2)");
}

TEST(DiskList, AnOrdinaryUserListsWhatRootSees) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0 || !std::filesystem::exists("/usr/sbin/runuser")) {
    GTEST_SKIP() << "needs root, runuser and an unprivileged user named nobody";
  }
  // The build tree may be closed to nobody: it runs a copy.
  const testing::StagingDir staging;
  if (const auto why = staging.unreachable()) GTEST_SKIP() << "no copy of the helper can run as nobody: " << *why;
  const auto helper = staging.stage(testing::helper_binary(), 0755);
  ASSERT_TRUE(helper) << helper.error();
  const auto as_root = run_helper({.args = {"--list-disks"}});
  const auto as_nobody =
      testing::run_process("/usr/sbin/runuser", {.args = {"-u", "nobody", "--", helper->string(), "--list-disks"}});
  ASSERT_EQ(as_root.exit_status, 0) << as_root.err;
  ASSERT_EQ(as_nobody.exit_status, 0) << as_nobody.err;
  EXPECT_TRUE(read_mock_device_list(as_nobody.out).has_value()) << as_nobody.out;
  EXPECT_EQ(as_nobody.out, as_root.out);
}

// --version and --help answer without reading a request: on a terminal
// that never types one, the helper still ends at once.
TEST(StartupProcess, VersionAndHelpAnswerWithoutReadingARequest) {
  const std::string version(kVersion);
  struct Case {
    std::vector<std::string> args;
    std::string starts;  // how the terminal's output starts
  };
  const Case cases[] = {
      {{"--version"}, "kelmar_vindle_helper " + version + "\r\n"},
      {{"--help"}, "Usage: kelmar_vindle_helper [OPTION]...\r\n"},
      // Unknown arguments stay ignored around them; the first of the two wins.
      {{"--unknown", "--version", "--help"}, "kelmar_vindle_helper " + version + "\r\n"},
      {{"--fixture", "/nonexistent", "--help", "--version"}, "Usage: kelmar_vindle_helper"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    testing::TerminalProcess helper(testing::helper_binary(), c.args, {"PATH=/usr/bin:/bin"});
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(helper.wait(std::chrono::seconds(30)), 0) << helper.output();
    EXPECT_TRUE(helper.output().starts_with(c.starts)) << helper.output();
  }
  // The value of a value option asks for nothing: the request is read and
  // answered.
  const auto serial =
      run_helper({.args = {"--expect-serial", "--help"}, .stdin_text = "{\"v\":1,\"cmd\":\"cancel\"}\n"});
  EXPECT_EQ(serial.exit_status, 0) << serial.err;
  EXPECT_TRUE(serial.out.starts_with("{\"evt\":\"result\"")) << serial.out;
}

}  // namespace
}  // namespace kelmar_vindle
