// The helper runs as root for one unprivileged client, and that client is
// the one who attacks it here: it races the helper for the names the helper
// makes in the client's own directory, swaps that directory under the
// helper, and names an image through another process's view of the file
// system. None of it may reach a file the client could not change or read
// itself. Through the real binary, with a real unprivileged client (forked
// children that drop to the user "nobody").
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "devices.hpp"
#include "frontend_runner.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/json.hpp"
#include "process_runner.hpp"
#include "staging.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using namespace std::chrono_literals;
using testing::RunningProcess;
using testing::TempDir;

constexpr std::string_view kPermissionDenied = "I/O error: Permission denied (os error 13)";
const std::string kCancel = "{\"v\":1,\"cmd\":\"cancel\"}\n";
constexpr std::string_view kCancelAnswer = "cancel has no in-flight job in this dispatch";
// Only keeps a broken helper from hanging the test; nothing is timed.
constexpr auto kPatience = 30s;

// In a forked child: becomes `user`, with its own group and nothing of root's.
bool become(const passwd& user) {
  const gid_t group = user.pw_gid;
  return ::setgroups(1, &group) == 0 && ::setgid(user.pw_gid) == 0 && ::setuid(user.pw_uid) == 0;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe make_pipe() {
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return {};
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Whether one byte arrives on `fd` within the patience: a child's word that
// it is ready.
bool byte_arrives(const UniqueFd& fd) {
  pollfd ready{fd.get(), POLLIN, 0};
  int got = 0;
  while ((got = ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count()))) < 0 &&
         errno == EINTR) {
  }
  char byte = 0;
  return got > 0 && ::read(fd.get(), &byte, 1) == 1;
}

// A forked child that lives until the object goes: it is killed and reaped.
class Child {
 public:
  // Runs `body` in the child, which ends with its return value; the child
  // writes its one byte to `ready` when it is set up. Invalid when the fork
  // failed or the child did not say it was ready.
  explicit Child(const std::function<int(int ready)>& body) {
    Pipe ready = make_pipe();
    if (!ready.read.valid()) return;
    pid_ = ::fork();
    if (pid_ == 0) ::_exit(body(ready.write.get()));
    ready.write = UniqueFd();
    if (pid_ > 0 && !byte_arrives(ready.read)) stop();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }

  pid_t pid() const { return pid_; }
  bool valid() const { return pid_ > 0; }

 private:
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
};

// Runs `body` in a forked child that has become `user`, and returns what
// it wrote to the descriptor it is given (a pipe to this process); a text
// saying so when it failed.
std::string as_user(const passwd& user, const std::function<bool(int out)>& body) {
  Pipe pipe = make_pipe();
  if (!pipe.read.valid()) return "pipe failed";
  const pid_t child = ::fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    if (!become(user)) ::_exit(2);
    ::_exit(body(pipe.write.get()) ? 0 : 3);
  }
  pipe.write = UniqueFd();
  std::string said;
  std::array<char, 4096> buffer{};
  for (ssize_t got; (got = ::read(pipe.read.get(), buffer.data(), buffer.size())) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    said.append(buffer.data(), static_cast<std::size_t>(got));
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "client failed with status " + std::to_string(status);
  return said;
}

// The client's side of one exchange, in a child that is the client:
// connects to `path`, does `between` (if any), sends `request` and copies
// the reply to `out`. Every wait on the helper is bounded.
bool exchange_in_child(int out, const std::string& path, const std::string& request,
                       const std::function<bool()>& between) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  const timeval limit{static_cast<time_t>(kPatience.count()), 0};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
  if (between && !between()) return false;
  if (!write_all(fd.get(), request)) return false;
  std::array<char, 4096> buffer{};
  for (ssize_t got; (got = ::read(fd.get(), buffer.data(), buffer.size())) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (!write_all(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) return false;
  }
  return true;
}

std::string exchange_as(const passwd& user, const std::string& path, const std::string& request,
                        const std::function<bool()>& between = {}) {
  return as_user(user, [&](int out) { return exchange_in_child(out, path, request, between); });
}

json::Value reply_of(std::string_view text) {
  auto reply = json::parse(text, json::DuplicateMembers::LastWins);
  EXPECT_TRUE(reply.has_value()) << text;
  return reply.value_or(json::Value::object());
}

// Names created in, or moved into, one directory.
class DirectoryWatch {
 public:
  enum class Seen { kName, kOther, kNothing };

  explicit DirectoryWatch(const std::filesystem::path& directory)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        watching_(fd_.valid() && ::inotify_add_watch(fd_.get(), directory.c_str(), IN_CREATE | IN_MOVED_TO) >= 0) {}

  bool valid() const { return watching_; }

  // Waits until `name` appears, or `other` is readable or hung up (a
  // process's output ending with it): whichever comes first.
  Seen wait_for(std::string_view name, int other) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Seen::kNothing;
      std::array<pollfd, 2> fds{{{fd_.get(), POLLIN, 0}, {other, POLLIN, 0}}};
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return Seen::kNothing;
      if (fds[0].revents != 0 && names_seen_include(name)) return Seen::kName;
      if (fds[1].revents != 0) return Seen::kOther;
    }
  }

 private:
  bool names_seen_include(std::string_view name) {
    bool seen = false;
    alignas(inotify_event) std::array<char, 8192> buffer{};
    for (ssize_t got; (got = ::read(fd_.get(), buffer.data(), buffer.size())) > 0;) {
      for (ssize_t at = 0; at < got;) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + at, sizeof event);
        const char* event_name = buffer.data() + at + sizeof(inotify_event);
        if (event.len > 0 && std::string_view(event_name, ::strnlen(event_name, event.len)) == name) seen = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
    return seen;
  }

  UniqueFd fd_;
  bool watching_ = false;
};

// Owner, group, permission bits and contents of a file, as `stat` and a read see them.
struct FileState {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  std::string contents;

  bool operator==(const FileState&) const = default;
};

std::string describe(const std::optional<FileState>& state) {
  if (!state) return "no longer a regular file at its path";
  std::array<char, 64> mode{};
  std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(state->mode));
  return std::to_string(state->uid) + ":" + std::to_string(state->gid) + " mode " + mode.data() + ", " +
         std::to_string(state->contents.size()) + " bytes";
}

void PrintTo(const FileState& state, std::ostream* out) { *out << describe(state); }

std::optional<FileState> state_of(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileState{info.st_uid, info.st_gid, info.st_mode & 07777, testing::read_file(path)};
}

void make_owned(const std::filesystem::path& path, uid_t uid, gid_t gid, mode_t mode) {
  ASSERT_EQ(::chown(path.c_str(), uid, gid), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

class PrivilegeBoundary : public ::testing::Test {
 protected:
  void SetUp() override {
    const passwd* found = ::getpwnam("nobody");
    if (::geteuid() != 0 || found == nullptr || found->pw_uid == 0 || found->pw_gid == 0) {
      GTEST_SKIP() << "needs root and an unprivileged user named nobody";
    }
    nobody = *found;
    // Everyone may pass through the test's directory; what lies below it
    // decides who reaches what.
    ASSERT_NO_FATAL_FAILURE(make_owned(dir.path(), 0, 0, 0755));
    if (const auto why = testing::unreachable_for_others(dir.path())) {
      GTEST_SKIP() << "the client nobody cannot reach the test's directory: " << *why;
    }
  }

  // The helper as root, serving only the client on the socket at `socket`.
  std::vector<std::string> helper_args(const std::filesystem::path& socket, const std::filesystem::path& sink) const {
    return {"--listen-unix", socket.string(),
            "--client-uid",  std::to_string(nobody.pw_uid),
            "--client-gid",  std::to_string(nobody.pw_gid),
            "--fixture",     testing::example_devices(),
            "--sink",        sink.string()};
  }

  // A directory of root's (0755) or of the client's (0700) in the test's directory.
  std::filesystem::path make_directory(const std::filesystem::path& path, bool the_clients) const {
    std::filesystem::create_directories(path);
    if (the_clients) {
      EXPECT_EQ(::chown(path.c_str(), nobody.pw_uid, nobody.pw_gid), 0);
      EXPECT_EQ(::chmod(path.c_str(), 0700), 0);
    } else {
      EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
    }
    return path;
  }

  TempDir dir;
  passwd nobody{};
};

// A child that is the client and races every helper start: the moment a
// name other than its own and the socket's final one appears in its
// directory, it renames a symbolic link to `victim` over that name, and has
// the next link ready at once. It watches without blocking, so that it
// swaps as soon as the name exists.
int race_for_fresh_names(int ready, const passwd& user, const std::string& directory, const std::string& victim,
                         const std::string& final_name) {
  if (!become(user)) return 2;
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, directory.c_str(), IN_CREATE | IN_MOVED_TO) < 0) return 3;
  constexpr std::string_view kOwn = "swap-";
  unsigned long next = 0;
  std::string link;
  const auto prepare = [&] {
    link = directory + "/" + std::string(kOwn) + std::to_string(next++);
    return ::symlink(victim.c_str(), link.c_str()) == 0;
  };
  if (!prepare()) return 4;
  const char byte = 1;
  if (::write(ready, &byte, 1) != 1) return 5;
  std::string last_swapped;
  alignas(inotify_event) std::array<char, 8192> buffer{};
  for (;;) {
    const ssize_t got = ::read(watch, buffer.data(), buffer.size());
    for (ssize_t at = 0; at < got;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const char* raw = buffer.data() + at + sizeof(inotify_event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      const std::string_view name(raw, event.len > 0 ? ::strnlen(raw, event.len) : 0);
      // Its own links, the socket's final name, and the name it just
      // swapped (its own rename reports that name again) are left alone.
      if (name.empty() || name.starts_with(kOwn) || name == final_name || name == last_swapped) continue;
      const std::string target = directory + "/" + std::string(name);
      if (::rename(link.c_str(), target.c_str()) == 0) {
        last_swapped = name;
        if (!prepare()) return 6;
      }
    }
  }
}

TEST_F(PrivilegeBoundary, AClientRacingTheFreshSocketNameChangesNoFileOfRoots) {
  // A file of root's the client may read but not change, in a directory of root's.
  const auto protected_dir = make_directory(dir.path() / "protected", false);
  const auto victim = protected_dir / "motd.txt";
  testing::write_file(victim, "Welcome to this machine.\nIts administrators keep this file.\n");
  ASSERT_NO_FATAL_FAILURE(make_owned(victim, 0, 0, 0644));
  const auto original = state_of(victim);
  ASSERT_TRUE(original.has_value());
  // The client's own directory for the socket.
  const auto socket_dir = make_directory(dir.path() / "client", true);
  const auto socket = socket_dir / "h.sock";
  const auto sink = dir.path() / "sink.img";

  const Child attacker([&](int ready) {
    return race_for_fresh_names(ready, nobody, socket_dir.string(), victim.string(), socket.filename().string());
  });
  ASSERT_TRUE(attacker.valid()) << "the racing client did not start";

  constexpr int kRounds = 200;
  int served = 0;
  int lost_to_the_race = 0;
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    DirectoryWatch watch(socket_dir);
    ASSERT_TRUE(watch.valid());
    RunningProcess helper(testing::helper_binary(), helper_args(socket, sink));
    const auto seen = watch.wait_for(socket.filename().string(), helper.output().fd());

    bool answered = false;
    struct stat info {};
    if (seen == DirectoryWatch::Seen::kName && ::lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      EXPECT_EQ(info.st_uid, nobody.pw_uid) << "the socket belongs to its client";
      EXPECT_EQ(info.st_gid, nobody.pw_gid);
      EXPECT_EQ(info.st_mode & 07777, 0660u) << "only the client, its group and root may connect";
      const std::string reply = exchange_as(nobody, socket.string(), kCancel);
      answered = reply_of(reply).value("message", json::Value()) == json::Value(std::string(kCancelAnswer));
      EXPECT_TRUE(answered) << reply;
    } else {
      ++lost_to_the_race;  // the helper did not put its socket there; it is ended below
    }
    if (answered) {
      const auto ended = helper.wait(kPatience);
      ASSERT_TRUE(ended.has_value()) << "the helper did not end after its one exchange";
      EXPECT_EQ(ended->exit_status, 0) << ended->err;
      ++served;
    } else {
      helper.signal(SIGKILL);
      ASSERT_TRUE(helper.wait(kPatience).has_value());
    }

    const auto now = state_of(victim);
    if (now != original) {
      FAIL() << "round " << round << " of " << kRounds << " changed " << victim << " from " << describe(original)
             << " to " << describe(now) << " (" << served << " rounds served before it)";
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(served, 0) << "the helper served its client in none of the " << kRounds << " rounds";
  RecordProperty("served", served);
  RecordProperty("not_served", lost_to_the_race);
}

TEST_F(PrivilegeBoundary, RemovingTheSocketFollowsNoDirectoryTheClientSwappedIn) {
  // A file of root's that happens to carry the socket's name, in a
  // directory of root's.
  const auto protected_dir = make_directory(dir.path() / "protected", false);
  const auto bystander = protected_dir / "h.sock";
  testing::write_file(bystander, "root's file of the same name\n");
  ASSERT_NO_FATAL_FAILURE(make_owned(bystander, 0, 0, 0644));
  const auto original = state_of(bystander);
  ASSERT_TRUE(original.has_value());
  // The client's home holds the client's directory for the socket, so that
  // the client may rename that directory away.
  const auto home = make_directory(dir.path() / "home", true);
  const auto socket_dir = make_directory(home / "run", true);
  const auto socket = socket_dir / "h.sock";
  const auto moved = home / "run.moved";

  DirectoryWatch watch(socket_dir);
  ASSERT_TRUE(watch.valid());
  RunningProcess helper(testing::helper_binary(), helper_args(socket, dir.path() / "sink.img"));
  ASSERT_EQ(watch.wait_for(socket.filename().string(), helper.output().fd()), DirectoryWatch::Seen::kName)
      << "the helper did not listen";

  // Connected, the client swaps its directory for a link to root's before
  // it sends the request; the helper removes the socket after its reply.
  const std::string reply = exchange_as(nobody, socket.string(), kCancel, [&] {
    return ::rename(socket_dir.c_str(), moved.c_str()) == 0 &&
           ::symlink(protected_dir.c_str(), socket_dir.c_str()) == 0;
  });
  EXPECT_EQ(reply_of(reply).value("message", json::Value()), json::Value(std::string(kCancelAnswer))) << reply;
  const auto ended = helper.wait(kPatience);
  ASSERT_TRUE(ended.has_value()) << "the helper did not end after its one exchange";
  EXPECT_EQ(ended->exit_status, 0) << ended->err;

  EXPECT_EQ(state_of(bystander), original) << bystander << " is root's, and stays";
  struct stat info {};
  EXPECT_EQ(::lstat(socket_dir.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the client's link is the client's to remove";
}

TEST_F(PrivilegeBoundary, AnImageReachedThroughAnotherProcessIsOpenedWithTheClientsRightsOnly) {
  // A file anyone may read, in a directory anyone may search, below one only
  // root may enter: the client cannot reach it by any path of its own.
  const auto locked = dir.path() / "locked";
  std::filesystem::create_directory(locked);
  ASSERT_NO_FATAL_FAILURE(make_owned(locked, 0, 0, 0700));
  const auto room = make_directory(locked / "room", false);
  const std::string image = std::string(200'000, 's') + "ecret";
  const auto secret = room / "secret.img";
  testing::write_file(secret, image);
  ASSERT_NO_FATAL_FAILURE(make_owned(secret, 0, 0, 0644));

  // A process of root's whose working and root directories are that room.
  const Child holder([&](int ready) {
    if (::chdir(room.c_str()) != 0 || ::chroot(".") != 0) return 2;
    const char byte = 1;
    if (::write(ready, &byte, 1) != 1) return 3;
    for (;;) ::pause();
  });
  ASSERT_TRUE(holder.valid()) << "the root process did not start";
  const std::string proc = "/proc/" + std::to_string(holder.pid());

  const auto devices = read_mock_device_list(testing::read_file(testing::example_devices()));
  ASSERT_TRUE(devices.has_value()) << devices.error();
  std::optional<DeviceCandidate> stick;
  for (const auto& device : *devices) {
    if (device.is_usb && !device.is_system) stick = device;
  }
  ASSERT_TRUE(stick.has_value()) << "the example list holds a writable stick";

  const auto socket = dir.path() / "h.sock";
  const auto sink = dir.path() / "sink.img";
  const auto ask = [&](const std::string& path, std::string_view claimed) {
    std::filesystem::remove(sink);
    DirectoryWatch watch(dir.path());
    EXPECT_TRUE(watch.valid());
    RunningProcess helper(testing::helper_binary(), helper_args(socket, sink));
    if (watch.wait_for(socket.filename().string(), helper.output().fd()) != DirectoryWatch::Seen::kName) {
      ADD_FAILURE() << "the helper did not listen: " << helper.wait(kPatience).value_or(testing::ProcessResult{}).err;
      return std::string();
    }
    const std::string reply =
        exchange_as(nobody, socket.string(), testing::request_line("write", path, claimed, stick->identity));
    const auto ended = helper.wait(kPatience);
    EXPECT_TRUE(ended.has_value()) << "the helper did not end after its one exchange";
    if (ended) {
      EXPECT_EQ(ended->exit_status, 0) << ended->err;
    }
    return reply;
  };

  // As the system answers the client naming the file by its own path.
  const std::string refused = ask(secret.string(), image);
  const auto refusal = reply_of(refused);
  ASSERT_EQ(refusal.value("ok", json::Value()), json::Value(false)) << refused;
  ASSERT_EQ(refusal.value("error", json::Value()), json::Value(std::string("protocol"))) << refused;
  ASSERT_EQ(refusal.value("message", json::Value()), json::Value(std::string(kPermissionDenied))) << refused;

  struct Case {
    std::string what;
    std::string path;
    std::string_view claimed;
  };
  const std::string one_byte = "x";
  const Case cases[] = {
      {"the root process's working directory, the true size and digest", proc + "/cwd/secret.img", image},
      {"the root process's working directory, a wrong size", proc + "/cwd/secret.img", one_byte},
      {"the root process's root directory, the true size and digest", proc + "/root/secret.img", image},
      {"the root process's root directory, a wrong size", proc + "/root/secret.img", one_byte},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string reply = ask(c.path, c.claimed);
    EXPECT_EQ(reply, refused) << "refused as the file's own path is, and nothing more said";
    EXPECT_EQ(reply.find("mismatch"), std::string::npos) << reply;
    EXPECT_EQ(reply.find(checksum::sha256_hex(image)), std::string::npos) << reply;
    EXPECT_FALSE(std::filesystem::exists(sink)) << "nothing was written from it";
  }
}

// The process that works in the client's directory for the helper: its
// status as the kernel reports it, while the helper waits for its client.
std::map<std::string, std::string> status_of(pid_t pid) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(testing::read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    auto value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    fields[line.substr(0, colon)] = value;
  }
  return fields;
}

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto status = status_of(std::stoi(name));
    const auto found = status.find("PPid");
    if (found != status.end() && found->second == std::to_string(parent)) children.push_back(std::stoi(name));
  }
  return children;
}

TEST_F(PrivilegeBoundary, TheProcessActingForTheClientHoldsExactlyItsRights) {
  const auto socket_dir = make_directory(dir.path() / "client", true);
  const auto socket = socket_dir / "h.sock";
  DirectoryWatch watch(socket_dir);
  ASSERT_TRUE(watch.valid());
  RunningProcess helper(testing::helper_binary(), helper_args(socket, dir.path() / "sink.img"));
  ASSERT_EQ(watch.wait_for(socket.filename().string(), helper.output().fd()), DirectoryWatch::Seen::kName);

  // It stays until the socket is removed at the end of the exchange.
  const auto children = children_of(helper.pid());
  ASSERT_EQ(children.size(), 1u) << "one process acts for the client";
  const auto status = status_of(children.front());
  const std::string uid = std::to_string(nobody.pw_uid);
  const std::string gid = std::to_string(nobody.pw_gid);
  EXPECT_EQ(status.at("Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
  EXPECT_EQ(status.at("Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
    EXPECT_EQ(status.at(set), "0000000000000000") << set;
  }
  EXPECT_EQ(status.at("NoNewPrivs"), "1");
  // Not dumpable: the kernel then gives its /proc files to root, so that
  // its user may not look into it or attach to it.
  struct stat info {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(children.front()) + "/status").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);

  EXPECT_NE(exchange_as(nobody, socket.string(), kCancel).find(kCancelAnswer), std::string::npos);
  const auto ended = helper.wait(kPatience);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->exit_status, 0) << ended->err;
  EXPECT_FALSE(std::filesystem::exists(socket)) << "removed at the end";
  EXPECT_TRUE(children_of(helper.pid()).empty());
}

// The command line's paths: the mock list and the sink are reached with the
// rights of whoever launched the helper, the sink through no symbolic link,
// and never the image itself.
TEST_F(PrivilegeBoundary, TheCommandLinesPathsAreReachedAsTheirLauncher) {
  const std::string image = std::string(100'000, 'p') + "ublic";
  const auto images = make_directory(dir.path() / "images", false);
  const auto public_image = images / "public.img";
  testing::write_file(public_image, image);
  ASSERT_NO_FATAL_FAILURE(make_owned(public_image, 0, 0, 0644));
  const auto stick = testing::usb_stick("LAUNCHER-1");
  const auto fixture = images / "devices.json";
  testing::write_file(fixture, testing::mock_list_text({stick}));
  ASSERT_NO_FATAL_FAILURE(make_owned(fixture, 0, 0, 0644));
  const auto private_fixture = images / "private.json";
  testing::write_file(private_fixture, testing::mock_list_text({stick}));
  ASSERT_NO_FATAL_FAILURE(make_owned(private_fixture, 0, 0, 0600));
  const auto roots = make_directory(dir.path() / "roots", false);
  const auto theirs = make_directory(dir.path() / "theirs", true);
  std::filesystem::create_directory_symlink(roots, dir.path() / "link");

  const std::vector<std::string> sudo = {"SUDO_UID=" + std::to_string(nobody.pw_uid),
                                         "SUDO_GID=" + std::to_string(nobody.pw_gid)};
  struct Case {
    std::string what;
    std::vector<std::string> env;
    std::filesystem::path fixture;
    std::filesystem::path sink;
    std::string failure;  // start-up's failure or the reply's message; empty: written
  };
  const Case cases[] = {
      {"a user's helper: a sink in the user's directory", sudo, fixture, theirs / "out.img", ""},
      {"a user's helper: a sink where only root may write", sudo, fixture, roots / "out.img",
       std::string(kPermissionDenied)},
      {"a user's helper: a mock list only root may read", sudo, private_fixture, theirs / "out.img",
       "helper error: " + private_fixture.string() + ": Permission denied (os error 13)"},
      {"root's helper: a sink below a symbolic link",
       {},
       fixture,
       dir.path() / "link" / "out.img",
       "I/O error: Not a directory (os error 20)"},
      {"root's helper: the sink is the image",
       {},
       fixture,
       public_image,
       "I/O error: the sink is the image file itself"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(roots / "out.img");
    std::filesystem::remove(theirs / "out.img");
    const auto result = testing::run_helper(
        {.args = {"--fixture", c.fixture.string(), "--sink", c.sink.string()},
         .env = c.env,
         .stdin_text = testing::request_line("write", public_image.string(), image, stick.identity)});
    if (c.failure.starts_with("helper error: ")) {
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(result.err, std::string(c.failure) + "\n");
      continue;
    }
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto reply = reply_of(result.out);
    if (c.failure.empty()) {
      EXPECT_EQ(reply.value("ok", json::Value()), json::Value(true)) << result.out;
      EXPECT_EQ(testing::read_file(c.sink), image);
      const auto written = state_of(c.sink);
      ASSERT_TRUE(written.has_value());
      EXPECT_EQ(written->uid, nobody.pw_uid) << "created by the user";
    } else {
      EXPECT_EQ(reply.value("message", json::Value()), json::Value(std::string(c.failure))) << result.out;
      EXPECT_FALSE(std::filesystem::exists(roots / "out.img"));
    }
    EXPECT_EQ(testing::read_file(public_image), image) << "the image is never touched";
  }
}

}  // namespace
}  // namespace kelmar_vindle
