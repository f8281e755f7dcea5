#include "frontend_runner.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "temp_dir.hpp"

namespace kelmar_vindle::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointers_to(std::vector<std::string>& text) {
  std::vector<char*> pointers;
  for (auto& t : text) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Forks; the child sets up its streams with `streams` (async-signal-safe
// calls only), drops to `user`, does `as_user` (the same kind of calls) and
// runs `program`. Exit status 127 in the child means one of these steps
// failed.
pid_t start_child(
    const std::string& program, const std::vector<std::string>& args, std::vector<std::string> env,
    const std::optional<RunAs>& user, const std::function<bool()>& streams,
    const std::function<bool()>& as_user = [] { return true; }) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  auto argv_pointers = pointers_to(argv);
  auto env_pointers = pointers_to(env);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid > 0) return pid;
  if (!streams()) ::_exit(127);
  if (user && (::setgroups(0, nullptr) != 0 || ::setgid(user->gid) != 0 || ::setuid(user->uid) != 0)) ::_exit(127);
  if (!as_user()) ::_exit(127);
  ::execve(program.c_str(), argv_pointers.data(), env_pointers.data());
  ::_exit(127);
}

// Its status once it ended, or none at `deadline` (it is then still running).
std::optional<int> reap_by(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return status;
    if (reaped < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::optional<RunAs> unprivileged_user(std::string& why_not) {
  if (::geteuid() != 0) {
    why_not = "needs root, to run a child as the user nobody";
    return std::nullopt;
  }
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr || nobody->pw_uid == 0) {
    why_not = "needs an unprivileged user named nobody";
    return std::nullopt;
  }
  return RunAs{nobody->pw_uid, nobody->pw_gid};
}

std::string frontend_binary() { return KV_FRONTEND_BINARY; }
std::string example_devices() { return KV_EXAMPLE_DEVICES; }
std::string relative_helper_dir() { return KV_RELATIVE_HELPER_DIR; }

std::expected<StagedFrontend, std::string> stage_frontend(const StagingDir& dir) {
  auto frontend = dir.stage(frontend_binary(), 0755);
  if (!frontend) return std::unexpected(frontend.error());
  auto helper = dir.stage(helper_binary(), 0755);
  if (!helper) return std::unexpected(helper.error());
  // The helper runs the decoder of compressed images from beside itself.
  if (auto decoder = dir.stage(KV_DECODER_BINARY, 0755); !decoder) return std::unexpected(decoder.error());
  auto devices = dir.stage(example_devices(), 0644);
  if (!devices) return std::unexpected(devices.error());
  return StagedFrontend{*frontend, *helper, *devices};
}

ProcessResult run_as(const std::optional<RunAs>& user, const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::chrono::milliseconds timeout) {
  const TempDir outputs;  // root's own: the child opens its files before it drops
  const std::string out_path = (outputs.path() / "out").string();
  const std::string err_path = (outputs.path() / "err").string();
  const auto streams = [&] {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return in >= 0 && out >= 0 && err >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2;
  };
  const pid_t pid = start_child(program, args, env, user, streams);
  ProcessResult result;
  if (const auto status = reap_by(pid, Clock::now() + timeout)) {
    result.exit_status = exit_status_of(*status);
    result.signal = WIFSIGNALED(*status) ? WTERMSIG(*status) : 0;
  } else {
    kill_and_reap(pid);
    result.signal = SIGKILL;
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

TerminalProcess::TerminalProcess(const std::string& program, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env, const std::optional<RunAs>& user,
                                 unsigned short columns)
    : terminal_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  if (!terminal_.valid() || ::grantpt(terminal_.get()) != 0 || ::unlockpt(terminal_.get()) != 0) return;
  const winsize size{.ws_row = 24, .ws_col = columns, .ws_xpixel = 0, .ws_ypixel = 0};
  if (columns != 0 && ::ioctl(terminal_.get(), TIOCSWINSZ, &size) != 0) return;
  const char* name = ::ptsname(terminal_.get());
  if (name == nullptr) return;
  const std::string device = name;
  // A session of its own, in which opening the terminal makes it the
  // controlling one.
  pid_ = start_child(program, args, env, user, [&] {
    if (::setsid() < 0) return false;
    const int side = ::open(device.c_str(), O_RDWR);
    return side >= 0 && ::dup2(side, 0) == 0 && ::dup2(side, 1) == 1 && ::dup2(side, 2) == 2;
  });
}

TerminalProcess::~TerminalProcess() {
  if (pid_ > 0) kill_and_reap(pid_);
}

bool TerminalProcess::read_until(Clock::time_point deadline) {
  if (!terminal_.valid()) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd fd{terminal_.get(), POLLIN, 0};
  const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(0, static_cast<long long>(left.count()))));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  std::array<char, 4096> buffer{};
  const ssize_t got = ::read(terminal_.get(), buffer.data(), buffer.size());
  if (got < 0 && errno == EINTR) return true;
  // EIO: every holder of the terminal's other side has closed it.
  if (got <= 0) {
    terminal_ = UniqueFd();
    return false;
  }
  output_.append(buffer.data(), static_cast<std::size_t>(got));
  return true;
}

bool TerminalProcess::wait_for(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || !read_until(deadline)) return output_.find(text) != std::string::npos;
  }
  return true;
}

bool TerminalProcess::wait_until(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done(output_)) {
    if (Clock::now() >= deadline || !read_until(deadline)) return done(output_);
  }
  return true;
}

bool TerminalProcess::resize(unsigned short columns) {
  const winsize size{.ws_row = 24, .ws_col = columns, .ws_xpixel = 0, .ws_ypixel = 0};
  return terminal_.valid() && pid_ > 0 && ::ioctl(terminal_.get(), TIOCSWINSZ, &size) == 0 &&
         ::kill(pid_, SIGWINCH) == 0;
}

bool TerminalProcess::type(std::string_view text) {
  return terminal_.valid() && write_all(terminal_.get(), text).has_value();
}

std::optional<int> TerminalProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && read_until(deadline)) {
  }
  if (pid_ > 0) {
    const auto status = reap_by(pid_, deadline);
    if (!status) return std::nullopt;
    pid_ = -1;
    status_ = exit_status_of(*status);
  }
  return status_;
}

ServiceStandIn::ServiceStandIn(const std::filesystem::path& socket, const std::string& program,
                               const std::vector<std::string>& args, const std::optional<RunAs>& user) {
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = socket.string();
  if (!listener.valid() || name.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, name.data(), name.size());
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(name.c_str(), 0666) != 0) {
    return;
  }
  std::array<int, 2> ready{};
  if (::pipe2(ready.data(), O_CLOEXEC) != 0) return;
  UniqueFd ready_read(ready[0]);
  UniqueFd ready_write(ready[1]);
  const int fd = listener.get();
  const int said = ready_write.get();
  pid_ = start_child(
      program, args, {"PATH=/usr/bin:/bin"}, user, [] { return true; },
      [fd, said] {
        // Listening as the user is what makes them the peer a client sees.
        if (::listen(fd, 1) != 0) return false;
        const char byte = 1;
        if (::write(said, &byte, 1) != 1) return false;
        int connection = -1;
        while ((connection = ::accept(fd, nullptr, nullptr)) < 0 && errno == EINTR) {
        }
        return connection >= 0 && ::dup2(connection, 0) == 0 && ::dup2(connection, 1) == 1;
      });
  ready_write = UniqueFd();
  pollfd wait{ready_read.get(), POLLIN, 0};
  char byte = 0;
  listening_ = ::poll(&wait, 1, 60'000) == 1 && ::read(ready_read.get(), &byte, 1) == 1;
}

ServiceStandIn::~ServiceStandIn() {
  if (pid_ > 0) kill_and_reap(pid_);
}

std::optional<int> ServiceStandIn::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  const auto status = reap_by(pid_, Clock::now() + timeout);
  if (!status) return std::nullopt;
  pid_ = -1;
  status_ = exit_status_of(*status);
  return status_;
}

}  // namespace kelmar_vindle::testing
