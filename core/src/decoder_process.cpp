#include "kelmar_vindle/decoder_process.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <vector>

#include "client_process_platform.hpp"
#include "decoder_platform.hpp"
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle {
namespace {

// A child's first free descriptor while it lays out 0..3: above every one
// it is handed.
constexpr int kScratchFloor = 16;

// `nobody`, looked up before any fork (the lookup may allocate and lock).
Result<Client> nobody() {
  std::vector<char> room(16384);
  passwd entry{};
  passwd* found = nullptr;
  const int error = ::getpwnam_r("nobody", &entry, room.data(), room.size(), &found);
  if (error != 0 || found == nullptr) return std::unexpected(Error::io("the user nobody is not known to the system"));
  return Client{found->pw_uid, found->pw_gid, {}};
}

// Moves `from` to `to` in the child (system calls only); `to` then stays
// open across exec.
bool place(int from, int to) {
  if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
  return ::dup2(from, to) == to;
}

}  // namespace

Result<DecoderProgram> DecoderProgram::at(const std::filesystem::path& path) {
  if (auto clean = check_no_interior_nul(path.native()); !clean) return std::unexpected(clean.error());
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    const int error = errno;
    return std::unexpected(os_error(error, "open the decoder program " + path.string()));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(last_os_error());
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(Error::io("the decoder program " + path.string() + " is not a regular file"));
  }
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    return std::unexpected(
        Error::io("the decoder program " + path.string() + " is owned by neither root nor the helper's user"));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::unexpected(Error::io("the decoder program " + path.string() + " may be changed by other users"));
  }
  return DecoderProgram(std::move(fd), path);
}

Result<DecoderProgram> DecoderProgram::beside_own_executable() {
  const auto own = detail::own_executable();
  if (!own) return std::unexpected(Error::io("the helper cannot tell where its own executable is"));
  return at(own->parent_path() / kDecoderProgramName);
}

Result<DecoderProcess> DecoderProcess::start(const DecoderProgram& program, const Client& who, ImageFormat format,
                                             std::uint64_t limit, int input) {
  if (format == ImageFormat::Raw) return std::unexpected(Error::io("a raw image needs no decoder"));
  Client runner = who;
  if (who.is_root()) {
    auto account = nobody();
    if (!account) return std::unexpected(account.error());
    runner = std::move(*account);
  }
  // Everything the child needs is prepared here: after the fork it may not
  // allocate.
  const detail::ChildIdentity identity = detail::identity_for(runner);
  const std::string path = program.path().string();
  const std::string name(image_format_name(format));
  const std::string bound = std::to_string(limit);
  std::array<std::string, 5> words{path, "--format", name, "--limit", bound};
  std::array<char*, 6> argv{};
  for (std::size_t i = 0; i < words.size(); ++i) argv[i] = words[i].data();

  auto output = spawn::make_pipe();
  if (!output) return std::unexpected(output.error());
  auto status = spawn::make_pipe();
  if (!status) return std::unexpected(status.error());

  const int sources[5] = {input, output->write.get(), STDERR_FILENO, status->write.get(), program.fd()};
  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(last_os_error());
  if (pid == 0) {
    // The child: system calls only from here on. First every source above
    // the descriptors they go to, so that no placement overwrites another's
    // source; the program last, at 4, closed by the exec itself.
    int lifted[5];
    for (int i = 0; i < 5; ++i) {
      lifted[i] = ::fcntl(sources[i], F_DUPFD_CLOEXEC, kScratchFloor);
      if (lifted[i] < 0) ::_exit(127);
    }
    for (int i = 0; i < 4; ++i) {
      if (!place(lifted[i], i)) ::_exit(127);
    }
    if (::dup2(lifted[4], 4) != 4 || ::fcntl(4, F_SETFD, FD_CLOEXEC) != 0) ::_exit(127);
    detail::close_from(5);
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);  // a macro on macOS
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (detail::become(identity) != 0) ::_exit(127);
    detail::execute_program(4, argv[0], argv.data());
    ::_exit(127);
  }
  return DecoderProcess(pid, std::move(output->read), std::move(status->read));
}

DecoderProcess::DecoderProcess(DecoderProcess&& other) noexcept
    : pid_(other.pid_), output_(std::move(other.output_)), status_(std::move(other.status_)) {
  other.pid_ = -1;
}

DecoderProcess& DecoderProcess::operator=(DecoderProcess&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = other.pid_;
    output_ = std::move(other.output_);
    status_ = std::move(other.status_);
    other.pid_ = -1;
  }
  return *this;
}

DecoderProcess::~DecoderProcess() { stop(); }

bool DecoderProcess::exited_cleanly() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t reaped = -1;
  while ((reaped = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return reaped > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void DecoderProcess::stop() {
  if (pid_ <= 0) return;
  // It runs as the client, who may have stopped it; nothing it holds needs
  // an orderly end.
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

Result<StatusLine> parse_status_line(std::string_view line) {
  const auto not_understood = [] { return std::unexpected(Error::io("the decoder's status line is not understood")); };
  const auto number = [](std::string_view digits) -> std::optional<std::uint64_t> {
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
  };
  if (line == "size unknown") return StatusLine{StatusLine::Kind::SizeUnknown, 0, {}};
  for (const auto& [prefix, kind] : {std::pair{std::string_view("size "), StatusLine::Kind::Size},
                                     std::pair{std::string_view("done "), StatusLine::Kind::Done}}) {
    if (line.starts_with(prefix)) {
      const auto value = number(line.substr(prefix.size()));
      if (!value) return not_understood();
      return StatusLine{kind, *value, {}};
    }
  }
  if (line.starts_with("error ") && line.size() > 6) {
    const auto text = line.substr(6);
    // UTF-8 passes; control characters do not reach a person's screen.
    for (const char c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return not_understood();
    }
    return StatusLine{StatusLine::Kind::Error, 0, std::string(text)};
  }
  return not_understood();
}

}  // namespace kelmar_vindle
