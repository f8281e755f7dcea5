#include "startup.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <variant>

#include "descriptors.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "polkit_authority.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

using testing::TempDir;

constexpr std::string_view kMismatch = "device identity does not match the confirmed target";

std::expected<StartupPlan, std::string> plan(std::initializer_list<std::string> rest, const Environment& env = {}) {
  std::vector<std::string> args{"kelmar_vindle_helper"};
  args.insert(args.end(), rest);
  return plan_startup(args, env);
}

TEST(Startup, DefaultsToStdinPlatformDisksAndTheLockedTestDevice) {
  auto p = plan({});
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p->mode, ListenMode{StdinMode{}});
  EXPECT_NE(dynamic_cast<PlatformEnumerator*>(p->source.get()), nullptr);
  const auto* raw = dynamic_cast<const RawDiskBackend*>(p->backend.get());
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->settings(), (RawBackendSettings{"5B3E91D0A7C4F268", 8009023488, false, false}));
}

TEST(Startup, BackendTable) {
  struct Case {
    std::string_view what;
    HelperOptions options;
    // A sink path, the raw backend's settings, or the failure text.
    std::variant<std::filesystem::path, RawBackendSettings, std::string_view> result;
  };
  const auto opts = [](auto change) {
    HelperOptions o;
    change(o);
    return o;
  };
  const RawBackendSettings unpinned_purchaser{"", 0, true, true};
  const Case cases[] = {
      {"sink", opts([](auto& o) { o.sink = "out.bin"; }), std::filesystem::path("out.bin")},
      {"sink with purchaser", opts([](auto& o) { o.sink = "s", o.purchaser = true; }), std::filesystem::path("s")},
      {"test device, locked", opts([](auto&) {}), RawBackendSettings::test_device(false)},
      {"purchaser, locked", opts([](auto& o) { o.purchaser = true, o.expect_serial = "X", o.expect_size = 5; }),
       RawBackendSettings{"", 0, true, false}},
      {"real write without serial", opts([](auto& o) { o.allow_real_write = true; }),
       std::string_view("--allow-real-write requires --expect-serial")},
      {"real write, test serial; size ignored",
       opts([](auto& o) { o.allow_real_write = true, o.expect_serial = "5B3E91D0A7C4F268", o.expect_size = 5; }),
       RawBackendSettings{"5B3E91D0A7C4F268", 8009023488, false, true}},
      {"test serial lower case", opts([](auto& o) { o.allow_real_write = true, o.expect_serial = "5b3e91d0a7c4f268"; }),
       kMismatch},
      {"test serial leading space",
       opts([](auto& o) { o.allow_real_write = true, o.expect_serial = " 5B3E91D0A7C4F268"; }), kMismatch},
      {"purchaser without pins", opts([](auto& o) { o.allow_real_write = o.purchaser = true; }), unpinned_purchaser},
      // Half a pin fails closed instead of falling away.
      {"purchaser with serial only",
       opts([](auto& o) { o.allow_real_write = o.purchaser = true, o.expect_serial = "ABC"; }),
       std::string_view("--expect-serial needs --expect-size (or KELMAR_VINDLE_EXPECT_SIZE)")},
      {"purchaser with size only", opts([](auto& o) { o.allow_real_write = o.purchaser = true, o.expect_size = 1000; }),
       std::string_view("--expect-size needs --expect-serial (or KELMAR_VINDLE_EXPECT_SERIAL)")},
      {"purchaser with a size that is no number", opts([](auto& o) {
         o.allow_real_write = o.purchaser = true, o.expect_serial = "ABC", o.expect_size_unreadable = true;
       }),
       std::string_view("--expect-size is not a number of bytes (nor is KELMAR_VINDLE_EXPECT_SIZE)")},
      {"a size that is no number without real writes",
       opts([](auto& o) { o.purchaser = true, o.expect_serial = "ABC", o.expect_size_unreadable = true; }),
       RawBackendSettings{"", 0, true, false}},
      {"purchaser pinned, serial trimmed", opts([](auto& o) {
         o.allow_real_write = o.purchaser = true, o.expect_serial = " ABC123 ", o.expect_size = 1000;
       }),
       RawBackendSettings{"ABC123", 1000, true, true}},
      {"purchaser size 0",
       opts([](auto& o) { o.allow_real_write = o.purchaser = true, o.expect_serial = "ABC", o.expect_size = 0; }),
       kMismatch},
      {"purchaser blank serial",
       opts([](auto& o) { o.allow_real_write = o.purchaser = true, o.expect_serial = "   ", o.expect_size = 9; }),
       kMismatch},
      {"purchaser refused serial", opts([](auto& o) {
         o.allow_real_write = o.purchaser = true, o.expect_serial = "\t482906735115 ", o.expect_size = 9;
       }),
       kMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const MockEnumerator no_disks({});
    const auto chosen = choose_backend(c.options, no_disks, Client::root());
    if (const auto* failure = std::get_if<std::string_view>(&c.result)) {
      ASSERT_FALSE(chosen.has_value());
      EXPECT_EQ(chosen.error(), *failure);
    } else if (const auto* sink_path = std::get_if<std::filesystem::path>(&c.result)) {
      ASSERT_TRUE(chosen.has_value()) << chosen.error();
      const auto* sink = dynamic_cast<const MockFileBackend*>(chosen->get());
      ASSERT_NE(sink, nullptr);
      EXPECT_EQ(sink->sink_path(), *sink_path);
    } else {
      ASSERT_TRUE(chosen.has_value()) << chosen.error();
      const auto* raw = dynamic_cast<const RawDiskBackend*>(chosen->get());
      ASSERT_NE(raw, nullptr);
      EXPECT_EQ(raw->settings(), std::get<RawBackendSettings>(c.result));
    }
  }
}

TEST(Startup, ChecksRunInOrderAndTheFirstFailureWins) {
  TempDir dir;
  const auto missing = (dir.path() / "missing.json").string();
  EXPECT_EQ(plan({"--sink", "out.bin", "--allow-real-write", "--fixture", missing}).error(),
            "--sink and --allow-real-write cannot be used together");
  EXPECT_EQ(plan({"--sink", "--allow-real-write"}).error(), "--sink and --allow-real-write cannot be used together");
  EXPECT_EQ(plan({"--fixture", missing, "--allow-real-write", "--listen-pipe", "p"}).error(),
            missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(plan({"--allow-real-write", "--listen-pipe", "p"}).error(), "--allow-real-write requires --expect-serial");
  EXPECT_EQ(plan({"--client-requirement", "anchor apple"}).error(),
            "--client-requirement applies to --listen-xpc only");
  EXPECT_EQ(plan({"--listen-pipe", "p"}).error(), "named pipe listen is Windows-only");
  EXPECT_EQ(plan({"--listen-pipe", ""}).error(), "named pipe listen is Windows-only");
}

TEST(Startup, MockDeviceListFileFaults) {
  TempDir dir;
  struct Case {
    std::string_view what;
    std::string path;
    std::string_view failure;
  };
  ::mkfifo((dir.path() / "fifo").c_str(), 0600);
  const Case cases[] = {
      {"missing", (dir.path() / "nope").string(), "No such file or directory (os error 2)"},
      {"directory", dir.path().string(), "Is a directory (os error 21)"},
      {"not UTF-8", dir.write("latin1.json", "[\"\xE9\"]").string(), "stream did not contain valid UTF-8"},
      {"not a list", dir.write("obj.json", "{}").string(), "invalid type: map, expected a sequence"},
      {"trailing comma", dir.write("comma.json", "[],").string(), "trailing characters at line 1 column 3"},
      {"deep", dir.write("deep.json", std::string(1'000'000, '[')).string(), "recursion limit exceeded"},
      {"FIFO", (dir.path() / "fifo").string(), "is not a regular file"},
      {"record without is_usb",
       dir.write("no_is_usb.json", R"([{"id":"x","vendor":"V","product":"P","serial":"S","size":1,"bus":"usb",)"
                                   R"("is_system":false,"identity":{"scheme":"s","serial":"S","vendor":"V",)"
                                   R"("product":"P","size":1,"bus":"usb","is_system":false}}])")
           .string(),
       "missing field `is_usb`"},
      {"serial twice", dir.write("twice.json", R"([{"serial":"A","id":"x","serial":"B"}])").string(),
       "duplicate field `serial`"},
  };
  const std::size_t descriptors_before = testing::open_descriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto p = plan({"--fixture", c.path});
    ASSERT_FALSE(p.has_value());
    EXPECT_NE(p.error().find(c.failure), std::string::npos) << p.error();
  }
  EXPECT_EQ(testing::open_descriptors(), descriptors_before) << "every path closes the file it opened";
}

TEST(Startup, MockDeviceListIsLoadedInFileOrder) {
  TempDir dir;
  const std::string identity =
      R"({"scheme":"vindle-1","serial":"S","vendor":"V","product":"P","size":1,"bus":"usb","is_system":false})";
  const auto record = [&](std::string_view id) {
    return R"({"id":")" + std::string(id) +
           R"(","vendor":"V","product":"P","serial":"S","size":1,"bus":"usb","is_system":false,"is_usb":true,"identity":)" +
           identity + "}";
  };
  const auto file = dir.write("list.json", "[" + record("b") + "," + record("a") + "," + record("b") + "]\n");
  auto p = plan({"--fixture", file.string()});
  ASSERT_TRUE(p) << p.error();
  ASSERT_NE(dynamic_cast<MockEnumerator*>(p->source.get()), nullptr);
  const auto devices = p->source->list().value();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].id, "b");
  EXPECT_EQ(devices[1].id, "a");
  EXPECT_EQ(devices[2].id, "b");

  EXPECT_NE(dynamic_cast<PlatformEnumerator*>(plan({"--fixture"})->source.get()), nullptr);
}

// Whom a launcher names, decided from the real user and the environment:
// the variables count only for a process root started.
TEST(Startup, TheLaunchingClientIsNamedOnlyByRootsLaunchers) {
  const gid_t wheel = 50;
  const gid_t staff = 100;
  struct Case {
    std::string_view what;
    uid_t real_uid;
    Environment env;
    // The client and what named it, or the failure text.
    std::variant<LaunchingClient, std::string_view> outcome;
  };
  const Case cases[] = {
      {"root, no launcher", 0, {}, LaunchingClient{Client::root(), ""}},
      {"pkexec", 0, {{"PKEXEC_UID", "1000"}}, LaunchingClient{Client::of_user(1000), "PKEXEC_UID"}},
      {"sudo with its group",
       0,
       {{"SUDO_UID", "1000"}, {"SUDO_GID", "50"}},
       LaunchingClient{Client::of_user(1000, &wheel), "SUDO_UID"}},
      {"sudo without a group", 0, {{"SUDO_UID", "1000"}}, LaunchingClient{Client::of_user(1000), "SUDO_UID"}},
      {"pkexec and sudo agree",
       0,
       {{"PKEXEC_UID", "1000"}, {"SUDO_UID", "1000"}},
       LaunchingClient{Client::of_user(1000), "PKEXEC_UID"}},
      {"pkexec and sudo disagree",
       0,
       {{"PKEXEC_UID", "1000"}, {"SUDO_UID", "1001"}},
       std::string_view("PKEXEC_UID and SUDO_UID name different clients (1000 and 1001)")},
      {"pkexec names no user", 0, {{"PKEXEC_UID", "x"}}, std::string_view("PKEXEC_UID is not a user ID")},
      {"sudo names no user", 0, {{"SUDO_UID", "nobody"}}, std::string_view("SUDO_UID is not a user ID")},
      {"sudo names no group",
       0,
       {{"SUDO_UID", "1000"}, {"SUDO_GID", "-1"}},
       std::string_view("SUDO_GID is not a group ID")},
      {"an ordinary user", 1000, {}, LaunchingClient{Client::of_user(1000, &staff), ""}},
      {"an ordinary user claiming root through pkexec's variable",
       1000,
       {{"PKEXEC_UID", "0"}},
       LaunchingClient{Client::of_user(1000, &staff), ""}},
      {"an ordinary user claiming another user through sudo's variables",
       1000,
       {{"SUDO_UID", "1001"}, {"SUDO_GID", "0"}},
       LaunchingClient{Client::of_user(1000, &staff), ""}},
      {"an ordinary user's variables are not even read",
       1000,
       {{"PKEXEC_UID", "x"}, {"SUDO_UID", "0"}},
       LaunchingClient{Client::of_user(1000, &staff), ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = launching_client(c.env, c.real_uid, staff);
    if (const auto* expected = std::get_if<LaunchingClient>(&c.outcome)) {
      ASSERT_TRUE(got.has_value()) << got.error();
      EXPECT_TRUE(got->client == expected->client) << "uid " << got->client.uid << " gid " << got->client.gid;
      EXPECT_EQ(got->named_by, expected->named_by);
    } else {
      ASSERT_FALSE(got.has_value()) << "named by " << got->named_by;
      EXPECT_EQ(got.error(), std::get<std::string_view>(c.outcome));
    }
  }
}

TEST(Startup, TheCommandLineAndALauncherMustNameTheSameClient) {
  if (::getuid() != 0) GTEST_SKIP() << "launcher variables count only when the real user is root";
  auto p = plan({"--client-uid", "1000"}, {{"SUDO_UID", "1001"}});
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error(), "--client-uid and SUDO_UID name different clients (1000 and 1001)");
  p = plan({"--client-uid", "1000"}, {{"PKEXEC_UID", "1001"}});
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error(), "--client-uid and PKEXEC_UID name different clients (1000 and 1001)");

  const gid_t group = 7;
  p = plan({"--client-uid", "1000", "--client-gid", "7"}, {{"SUDO_UID", "1000"}});
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_TRUE(p->launcher.client == Client::of_user(1000, &group));
  EXPECT_EQ(p->launcher.named_by, "--client-uid");
  p = plan({}, {{"SUDO_UID", "1000"}});
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->launcher.named_by, "SUDO_UID");
}

TEST(Startup, AuthorizationTable) {
  // Whether this build can ask polkit at all: if not, --authorize polkit
  // fails with the build's reason and never yields an authorizer.
  const auto polkit = make_polkit_authorizer("com.example.test");
  const auto with = [](std::optional<std::string> authorize, std::optional<std::string> action) {
    HelperOptions o;
    o.authorize = std::move(authorize);
    o.authorize_action = std::move(action);
    return o;
  };
  struct Case {
    HelperOptions options;
    std::optional<std::string> failure;  // none: an authorizer (polkit's) or none, as `asks` says
    bool asks;
  };
  const Case cases[] = {
      {with({}, {}), {}, false},
      {with("polkit", {}), {}, true},
      {with("polkit", "org.example.disks.write-1"), {}, true},
      {with("Polkit", {}), "--authorize takes polkit", false},
      {with("", {}), "--authorize takes polkit", false},
      {with({}, "org.example.write"), "--authorize-action needs --authorize polkit", false},
      {with("polkit", "Org.Example"), "--authorize-action is not a polkit action ID: Org.Example", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.authorize.value_or("-") + " " + c.options.authorize_action.value_or("-"));
    const auto chosen = choose_authorizer(c.options);
    if (c.failure) {
      EXPECT_EQ(chosen.error(), *c.failure);
    } else if (c.asks && !polkit) {
      EXPECT_EQ(chosen.error(), polkit.error());
    } else {
      ASSERT_TRUE(chosen.has_value()) << chosen.error();
      EXPECT_EQ(*chosen != nullptr, c.asks);
    }
  }
}

TEST(Startup, PolkitActionIdsAreDottedLowerCaseNames) {
  for (std::string_view good :
       {"com.kelmar-vindle.write-disk", "org.freedesktop.udisks2.modify-device", "a.b", "0.9"}) {
    EXPECT_TRUE(is_polkit_action_id(good)) << good;
  }
  for (std::string_view bad : {"", "write", "com..write", ".com.write", "com.write.", "Com.write", "com.write disk",
                               "com.write\n", "com.wr\xC3\xA9"}) {
    EXPECT_FALSE(is_polkit_action_id(bad)) << bad;
  }
  EXPECT_FALSE(is_polkit_action_id("a." + std::string(254, 'b')));
  EXPECT_TRUE(is_polkit_action_id("a." + std::string(253, 'b')));
}

TEST(Startup, ArgumentsMustBeUtf8) {
  EXPECT_EQ(plan({"--fixture", "caf\xE9.json"}).error(), "command-line argument 2 is not valid UTF-8");
}

}  // namespace
}  // namespace kelmar_vindle::helper
