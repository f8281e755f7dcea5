// The installed service as CI can run it without systemd as process 1: a
// private system bus (dbus-daemon with a configuration of its own), polkitd
// on it in a mount namespace of its own that shows it the project's policy
// and a rule of the test's, and the command line of the configured unit
// kelmar-vindle@.service under `systemd-socket-activate --inetd`, as the
// socket unit would run it. A real unprivileged client ("nobody") connects
// and asks for a write. The unit's real writes become a sink and its disk
// list a mock list (start-up refuses a sink with real writes); everything
// else is the unit's.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devices.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "polkit_authority.hpp"
#include "process_runner.hpp"
#include "staging.hpp"
#include "temp_dir.hpp"
#include "unix_socket.hpp"

namespace kelmar_vindle {
namespace {

using namespace std::chrono_literals;
using testing::RunningProcess;

// Only keeps a broken daemon from hanging the test; nothing is timed.
constexpr auto kPatience = 60s;
constexpr std::string_view kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr std::string_view kPolkitd = "/usr/lib/polkit-1/polkitd";
constexpr std::string_view kSocketActivate = "/usr/bin/systemd-socket-activate";
constexpr std::string_view kUnshare = "/usr/bin/unshare";
const std::vector<std::string> kPath{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};

// Why this machine cannot run the test; none when it can.
std::optional<std::string> missing_precondition() {
  if (::geteuid() != 0) return "needs root (the service runs as root)";
  for (const std::string_view program : {kDbusDaemon, kPolkitd, kSocketActivate, kUnshare}) {
    if (::access(std::string(program).c_str(), X_OK) != 0) {
      return std::string(program) + " is missing (packages dbus-daemon, polkitd, systemd, util-linux)";
    }
  }
  if (!testing::private_mount_namespace_available()) return "no private mount namespace here";
  if (::getpwnam("nobody") == nullptr) return "no user nobody";
  if (::getpwnam("polkitd") == nullptr) return "no user polkitd (polkitd runs as it)";
  if (const auto polkit = helper::make_polkit_authorizer("com.example.test"); !polkit) return polkit.error();
  return std::nullopt;
}

// The unit's command line, split at white space (it quotes nothing).
std::vector<std::string> unit_command_line() {
  std::ifstream unit(KV_SERVICE_UNIT);
  std::string line;
  while (std::getline(unit, line)) {
    if (!line.starts_with("ExecStart=")) continue;
    std::istringstream words(line.substr(std::strlen("ExecStart=")));
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    return args;
  }
  return {};
}

void write_readable(const std::filesystem::path& path, std::string_view contents) {
  testing::write_file(path, contents);
  std::filesystem::permissions(path, std::filesystem::perms(0644));
}

void make_searchable_directory(const std::filesystem::path& path) {
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms(0755));
}

// A bus of its own: anyone may connect, own and call anything (the test's
// daemons are the only ones on it).
std::string bus_configuration(const std::filesystem::path& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
}

// Who the client connects as, and the image it names.
struct World {
  testing::StagingDir dir;
  std::filesystem::path image = dir.path() / "image.iso";
  std::string image_bytes = std::string(3 * 4096 + 17, 'k');
  std::filesystem::path sink_directory = dir.path() / "out";
  std::filesystem::path sink = sink_directory / "sink.bin";
  std::filesystem::path bus_socket = dir.path() / "bus";
  std::filesystem::path service_socket = dir.path() / "kelmar-vindle.sock";
  DeviceCandidate disk = [] {
    DeviceCandidate stick = testing::usb_stick("AC0E5717C4A91B02", "disk4", 31'000'000'000);
    stick.identity.linux_dev_name = "sdb";
    return stick;
  }();
};

// The private system bus, listening once its address is printed.
std::unique_ptr<RunningProcess> start_bus(const World& world) {
  const auto config = world.dir.path() / "bus.conf";
  write_readable(config, bus_configuration(world.bus_socket));
  std::unique_ptr<RunningProcess> bus;
  bus = std::make_unique<RunningProcess>(
      std::string(kDbusDaemon),
      std::vector<std::string>{"--config-file=" + config.string(), "--nofork", "--print-address=1"}, kPath);
  if (!bus->output().next(kPatience)) bus.reset();
  return bus;
}

// polkitd on the private bus, seeing only the project's policy and `rule`.
// It says when it owns its name on its output (which --no-debug would
// silence): the event the test waits for.
std::unique_ptr<RunningProcess> start_polkitd(const World& world, std::string_view rule) {
  const auto actions = world.dir.path() / "actions";
  const auto rules = world.dir.path() / "rules";
  const auto no_rules = world.dir.path() / "no-rules";
  for (const auto& directory : {actions, rules, no_rules}) make_searchable_directory(directory);
  write_readable(actions / "com.kelmar-vindle.write-disk.policy", testing::read_file(KV_POLICY_FILE));
  write_readable(rules / "50-kelmar-vindle-test.rules", rule);
  const std::string script =
      "mount --bind \"$1\" /usr/share/polkit-1/actions && mount --bind \"$2\" /etc/polkit-1/rules.d && "
      "mount --bind \"$3\" /usr/share/polkit-1/rules.d && exec \"$4\" 2>&1";
  std::unique_ptr<RunningProcess> polkitd;
  polkitd = std::make_unique<RunningProcess>(
      std::string(kUnshare),
      std::vector<std::string>{"--mount", "--propagation", "private", "/bin/sh", "-c", script, "polkitd",
                               actions.string(), rules.string(), no_rules.string(), std::string(kPolkitd)},
      std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                               "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + world.bus_socket.string()});
  while (const auto line = polkitd->output().next(kPatience)) {
    if (line->find("Acquired the name org.freedesktop.PolicyKit1") != std::string::npos) return polkitd;
  }
  return nullptr;
}

// The unit's command line, socket-activated: one helper per connection,
// the connection as its standard input and output.
std::unique_ptr<RunningProcess> start_service(const World& world, const std::vector<std::string>& unit) {
  const auto list = world.dir.path() / "devices.json";
  write_readable(list, testing::mock_list_text({world.disk}));
  std::vector<std::string> args{"--inetd", "--accept",
                                "-l",      world.service_socket.string(),
                                "-E",      "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + world.bus_socket.string()};
  args.push_back(testing::helper_binary());
  for (std::size_t i = 1; i < unit.size(); ++i) {
    if (unit[i] == "--allow-real-write") {
      args.insert(args.end(), {"--sink", world.sink.string()});
    } else {
      args.push_back(unit[i]);
    }
  }
  args.insert(args.end(), {"--fixture", list.string()});
  std::unique_ptr<RunningProcess> service;
  service = std::make_unique<RunningProcess>(std::string(kSocketActivate), args, kPath);
  // Its socket is made with the umask's mode; the socket unit's is 0666.
  if (!testing::wait_for_socket(world.service_socket) || ::chmod(world.service_socket.c_str(), 0666) != 0) {
    service.reset();
  }
  return service;
}

// Connects as "nobody" from a forked child, sends `request` and returns
// the reply line; the child lives until it has the reply, so that the
// process the authority is asked about is there to be looked at.
std::optional<std::string> ask_as_nobody(const std::filesystem::path& socket, const std::string& request) {
  const passwd* nobody = ::getpwnam("nobody");
  std::array<int, 2> ends{-1, -1};
  if (nobody == nullptr || ::pipe2(ends.data(), O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd reply_read(ends[0]);
  UniqueFd reply_write(ends[1]);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    const UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) ::_exit(3);
    if (!write_all(connection.get(), request)) ::_exit(4);
    testing::LineReader replies(UniqueFd(::dup(connection.get())));
    const auto line = replies.next(kPatience);
    if (!line || !write_all(reply_write.get(), *line + "\n")) ::_exit(5);
    ::_exit(0);
  }
  reply_write = UniqueFd();
  if (child < 0) return std::nullopt;
  auto line = testing::LineReader(std::move(reply_read)).next(kPatience);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return line;
}

// Whether anyone opened `path` since the watch began.
class OpenWatch {
 public:
  explicit OpenWatch(const std::filesystem::path& path)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        valid_(fd_.valid() && ::inotify_add_watch(fd_.get(), path.c_str(), IN_OPEN) >= 0) {}
  bool valid() const { return valid_; }
  bool opened() const {
    alignas(inotify_event) std::array<char, 4096> events{};
    return ::read(fd_.get(), events.data(), events.size()) > 0;
  }

 private:
  UniqueFd fd_;
  bool valid_;
};

enum class Authority { GrantingRule, DenyingRule, NoPolkitd, NoBus };

struct Case {
  std::string_view what;
  Authority authority;
  std::optional<ErrorCode> refusal;  // none: written
  std::string message_start;
};

void run_case(const Case& c, const std::vector<std::string>& unit) {
  SCOPED_TRACE(c.what);
  World world;
  if (const auto unreachable = world.dir.unreachable()) GTEST_SKIP() << *unreachable;
  write_readable(world.image, world.image_bytes);

  std::unique_ptr<RunningProcess> bus;
  std::unique_ptr<RunningProcess> polkitd;
  if (c.authority != Authority::NoBus) {
    bus = start_bus(world);
    ASSERT_TRUE(bus) << "the private bus did not start";
  }
  if (c.authority == Authority::GrantingRule || c.authority == Authority::DenyingRule) {
    // The rule also checks the details the prompt names the disk by.
    const std::string answer = c.authority == Authority::GrantingRule ? "YES" : "NO";
    const std::string rule =
        "polkit.addRule(function(action, subject) {\n"
        "  if (action.id == \"com.kelmar-vindle.write-disk\" && subject.user == \"nobody\" &&\n"
        "      action.lookup(\"device\") == \"/dev/sdb\" &&\n"
        "      action.lookup(\"drive\") == \"Acme Stick, 31.0 GB, /dev/sdb\")\n"
        "    return polkit.Result." +
        answer + ";\n});\n";
    polkitd = start_polkitd(world, rule);
    ASSERT_TRUE(polkitd) << "polkitd did not take its name on the private bus";
  }
  const auto service = start_service(world, unit);
  ASSERT_TRUE(service) << "systemd-socket-activate did not listen";

  const OpenWatch image_opens(world.image);
  ASSERT_TRUE(image_opens.valid());
  const auto reply = ask_as_nobody(world.service_socket,
                                   testing::request_line("write", world.image, world.image_bytes, world.disk.identity));
  ASSERT_TRUE(reply) << "no reply";
  const auto event = parse_event(*reply);
  ASSERT_TRUE(event) << *reply;
  const auto* result = std::get_if<HelperEvent::Result>(&event->value);
  ASSERT_NE(result, nullptr) << *reply;
  if (!c.refusal) {
    EXPECT_TRUE(result->ok) << *reply;
    EXPECT_EQ(testing::read_file(world.sink), world.image_bytes);
    EXPECT_TRUE(image_opens.opened());
    return;
  }
  EXPECT_FALSE(result->ok);
  EXPECT_EQ(result->error, c.refusal) << *reply;
  EXPECT_TRUE(result->message.value_or("").starts_with(c.message_start)) << *reply;
  EXPECT_FALSE(std::filesystem::exists(world.sink_directory)) << "the sink was made";
  EXPECT_FALSE(image_opens.opened()) << "the image was opened";
}

TEST(PolkitService, TheUnitsCommandLineWritesOnlyWhatPolkitAuthorizes) {
  if (const auto missing = missing_precondition()) GTEST_SKIP() << *missing;
  const auto unit = unit_command_line();
  ASSERT_FALSE(unit.empty()) << "no ExecStart in " << KV_SERVICE_UNIT;
  const Case cases[] = {
      {"a rule grants the user", Authority::GrantingRule, std::nullopt, ""},
      {"a rule denies the user", Authority::DenyingRule, ErrorCode::NotAuthorized, "not authorized to write /dev/sdb"},
      {"nobody owns polkit's name", Authority::NoPolkitd, ErrorCode::AuthorizationUnavailable,
       "no authority answered: org.freedesktop.DBus.Error.ServiceUnknown"},
      {"no bus at all", Authority::NoBus, ErrorCode::AuthorizationUnavailable,
       "no authority answered: no system bus: No such file or directory"},
  };
  for (const auto& c : cases) run_case(c, unit);
}

}  // namespace
}  // namespace kelmar_vindle
