// Starts the helper on a `write` that asks for progress, hangs up as soon as
// the first "writing" event arrives, and measures how long the helper takes
// to end after that and how many bytes its sink still got meanwhile:
//   kelmar_vindle_hang_up REQUEST_FILE SINK HELPER [HELPER_ARGUMENTS...]
//       standard input mode: the request goes in on a pipe, and the read end
//       of the helper's standard output is closed
//   kelmar_vindle_hang_up --socket PATH REQUEST_FILE SINK HELPER [HELPER_ARGUMENTS...]
//       the helper is started with --listen-unix PATH; the client connects,
//       sends the request and closes the connection
// SINK is the file the helper writes (its --sink, among the arguments).
// Prints "hang_up_ms M sink_bytes_after B status S", S being the helper's
// exit status (or 128 + the signal that ended it).
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

std::uint64_t size_of(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("write request");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Reads the helper's lines until one is a "writing" event; false when the
// stream ends first.
bool read_until_writing(int fd) {
  std::string seen;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(got));
    if (seen.find("\"phase\":\"writing\"") != std::string::npos) return true;
  }
}

void close_on_exec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl");
}

// Runs `argv` with standard input `in` and standard output `out` (each
// unless -1) and standard error on /dev/null.
pid_t start(const std::vector<std::string>& argv, int in, int out) {
  std::vector<char*> pointers;
  for (const auto& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if ((in >= 0 && ::dup2(in, STDIN_FILENO) < 0) || (out >= 0 && ::dup2(out, STDOUT_FILENO) < 0) || null < 0 ||
        ::dup2(null, STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  return child;
}

// The helper's exit status, or 128 + the signal that ended it.
int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A connection to the helper's socket once it listens there.
int connect_when_listening(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) fail("socket path too long");
  std::memcpy(address.sun_path, path.data(), path.size());
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) fail("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  fail("connect");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string socket_path;
  if (args.size() >= 2 && args[0] == "--socket") {
    socket_path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: %s [--socket PATH] REQUEST_FILE SINK HELPER [HELPER_ARGUMENTS...]\n", argv[0]);
    return 2;
  }
  std::ifstream request_file(args[0], std::ios::binary);
  const std::string request((std::istreambuf_iterator<char>(request_file)), std::istreambuf_iterator<char>());
  if (request.empty()) fail(args[0].c_str());
  const std::string sink = args[1];
  std::vector<std::string> helper(args.begin() + 2, args.end());
  std::signal(SIGPIPE, SIG_IGN);
  ::unlink(sink.c_str());

  pid_t child = 0;
  int events = -1;
  if (socket_path.empty()) {
    int input[2];
    int output[2];
    if (::pipe(input) != 0 || ::pipe(output) != 0) fail("pipe");
    for (const int fd : {input[0], input[1], output[0], output[1]}) close_on_exec(fd);
    child = start(helper, input[0], output[1]);
    ::close(input[0]);
    ::close(output[1]);
    write_all(input[1], request);
    ::close(input[1]);
    events = output[0];
  } else {
    ::unlink(socket_path.c_str());
    helper.push_back("--listen-unix");
    helper.push_back(socket_path);
    child = start(helper, -1, -1);
    events = connect_when_listening(socket_path);
    write_all(events, request);
  }
  if (!read_until_writing(events)) {
    std::fprintf(stderr, "the helper ended before its first writing event (status %d)\n", wait_for(child));
    return 1;
  }
  const std::uint64_t at_hang_up = size_of(sink.c_str());
  const auto hung_up = Clock::now();
  ::close(events);
  const int status = wait_for(child);
  const auto ended = Clock::now();
  const std::uint64_t after = size_of(sink.c_str());
  if (!socket_path.empty()) ::unlink(socket_path.c_str());
  std::printf("hang_up_ms %.2f sink_bytes_after %llu status %d\n",
              std::chrono::duration<double, std::milli>(ended - hung_up).count(),
              static_cast<unsigned long long>(after - at_hang_up), status);
  return 0;
}
