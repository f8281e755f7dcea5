#include "kelmar_vindle/client_process.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "client_process_platform.hpp"

namespace kelmar_vindle {
namespace {

// What the parent asks and the child answers: fixed-size records on a
// stream socket pair, descriptors riding on their first byte.
enum class Op : std::uint32_t { Open = 1, MakeDirectories, Listen, Remove };

constexpr std::int64_t kNone = -1;

struct Request {
  Op op = Op::Open;
  std::int32_t flags = 0;
  std::uint32_t mode = 0;
  std::uint32_t refuse_links = 0;
  std::uint32_t has_directory = 0;
  std::int64_t owner = kNone;
  std::int64_t group = kNone;
  std::int64_t trusted_group = kNone;
  char path[PATH_MAX] = {};
  char name[NAME_MAX + 1] = {};
  char fresh[NAME_MAX + 1] = {};
};

struct Reply {
  std::int32_t error = 0;             // an errno value, 0 for success
  std::int32_t unsafe_directory = 0;  // the directory may be written by others
};

constexpr int kMaxDescriptors = 2;

// ---- Shared by both sides; system calls only. ----

// Sends all of `size` bytes, with `count` descriptors on the first part.
int send_record(int channel, const void* data, std::size_t size, const int* fds, int count) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
  const auto* bytes = static_cast<const char*>(data);
  std::size_t sent = 0;
  while (sent < size) {
    iovec part{const_cast<char*>(bytes + sent), size - sent};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (sent == 0 && count > 0) {
      message.msg_control = control;
      // The platforms type these lengths differently (size_t, socklen_t).
      message.msg_controllen =
          static_cast<decltype(message.msg_controllen)>(CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(count)));
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len =
          static_cast<decltype(header->cmsg_len)>(CMSG_LEN(sizeof(int) * static_cast<std::size_t>(count)));
      std::memcpy(CMSG_DATA(header), fds, sizeof(int) * static_cast<std::size_t>(count));
    }
    const ssize_t put = ::sendmsg(channel, &message, 0);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : EPIPE;
    sent += static_cast<std::size_t>(put);
  }
  return 0;
}

// Receives exactly `size` bytes and up to `kMaxDescriptors` descriptors
// (any more are closed). 0, an errno value, or -1 at the end of the stream
// before the first byte.
int receive_record(int channel, void* data, std::size_t size, int* fds, int* count) {
  *count = 0;
  auto* bytes = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < size) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
    iovec part{bytes + got, size - got};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t read = ::recvmsg(channel, &message, 0);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return errno;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t n = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < n; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
        if (*count < kMaxDescriptors) {
          ::fcntl(fd, F_SETFD, FD_CLOEXEC);
          fds[(*count)++] = fd;
        } else {
          ::close(fd);
        }
      }
    }
    if (read == 0) return got == 0 ? -1 : EPIPE;
    got += static_cast<std::size_t>(read);
  }
  return 0;
}

// ---- The operations: the one place where such paths are resolved. ----
// They run in the child (or, for a client whose rights this process already
// has no more than, in this process) and use only system calls.

// The next component of `*cursor` (a NUL-terminated buffer it cuts up), or
// null when none is left; `*last` tells whether another follows.
char* next_component(char** cursor, bool* last) {
  char* at = *cursor;
  while (*at == '/') ++at;
  if (*at == '\0') return nullptr;
  char* end = at;
  while (*end != '\0' && *end != '/') ++end;
  char* after = end;
  while (*after == '/') ++after;
  *last = *after == '\0';
  if (*end != '\0') *end = '\0';
  *cursor = after;
  return at;
}

// Opens a path component by component, following no symbolic link: each
// directory with O_NOFOLLOW, the last component with `flags | O_NOFOLLOW`.
// With `make`, each directory (the last included) is created first when
// missing. Returns the descriptor or -1 with errno set.
int walk_without_links(const char* path, int flags, mode_t mode, bool make) {
  char buffer[PATH_MAX];
  const std::size_t length = ::strnlen(path, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) {
    errno = length == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
  }
  std::memcpy(buffer, path, length + 1);
  constexpr int kDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int at = ::open(buffer[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  char* cursor = buffer;
  bool last = false;
  for (char* component = next_component(&cursor, &last); at >= 0 && component != nullptr;
       component = next_component(&cursor, &last)) {
    int next = -1;
    if (!make || ::mkdirat(at, component, 0777) == 0 || errno == EEXIST) {
      next = (last && !make) ? ::openat(at, component, flags | O_NOFOLLOW | O_CLOEXEC, mode)
                             : ::openat(at, component, kDirectory);
    }
    const int error = errno;
    ::close(at);
    errno = error;
    at = next;
    if (last) return at;
  }
  // No component at all: the path names the root or the working directory.
  if (at >= 0 && !make && (flags & O_DIRECTORY) == 0) {
    ::close(at);
    errno = EISDIR;
    return -1;
  }
  return at;
}

int open_path(const Request& request) {
  const int flags = request.flags | O_CLOEXEC;
  const auto mode = static_cast<mode_t>(request.mode);
  if (request.refuse_links == 0) return ::open(request.path, flags, mode);
  const int fd = detail::open_without_links(request.path, flags, mode);
  if (fd >= 0 || errno != ENOSYS) return fd;
  return walk_without_links(request.path, flags, mode, false);
}

// Whether users other than root, this process's user and `trusted_group`
// may create names in the directory `info` describes.
bool others_may_write(const struct stat& info, std::int64_t trusted_group) {
  const bool owner_ok = info.st_uid == 0 || info.st_uid == ::geteuid() || (info.st_mode & S_IWUSR) == 0;
  const bool group_ok =
      info.st_gid == 0 || (trusted_group != kNone && info.st_gid == trusted_group) || (info.st_mode & S_IWGRP) == 0;
  return !owner_ok || !group_ok || (info.st_mode & S_IWOTH) != 0;
}

// Binds `fresh` in `directory`, gives it its owner, listens and renames it
// over `name`. Runs in the child only: it changes the working directory,
// since a socket can be bound only by a path.
Reply listen_in(const Request& request, int directory, int* socket_out) {
  Reply reply;
  struct stat info {};
  if (::fstat(directory, &info) != 0) return {errno, 0};
  if (!S_ISDIR(info.st_mode)) return {ENOTDIR, 0};
  if (others_may_write(info, request.trusted_group)) return {0, 1};
  if (::fchdir(directory) != 0) return {errno, 0};

  // The child never executes anything, and a descriptor's close-on-exec
  // flag does not travel with it: the parent sets its own.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener < 0) return {errno, 0};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = ::strnlen(request.fresh, sizeof request.fresh);
  if (length == 0 || length >= sizeof address.sun_path) {
    ::close(listener);
    return {ENAMETOOLONG, 0};
  }
  std::memcpy(address.sun_path, request.fresh, length);
  // The socket's permissions come from the umask at bind: never wider than
  // asked, not even for an instant.
  ::umask(static_cast<mode_t>(~request.mode & 0777));
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    reply.error = errno;
    ::close(listener);
    return reply;
  }
  const bool chown = request.owner != kNone || request.group != kNone;
  if ((chown && ::fchownat(directory, request.fresh, static_cast<uid_t>(request.owner),
                           static_cast<gid_t>(request.group), AT_SYMLINK_NOFOLLOW) != 0) ||
      ::listen(listener, SOMAXCONN) != 0 || ::renameat(directory, request.fresh, directory, request.name) != 0) {
    reply.error = errno;
    ::unlinkat(directory, request.fresh, 0);
    ::close(listener);
    return reply;
  }
  *socket_out = listener;
  return reply;
}

// Answers requests until the parent closes its end.
[[noreturn]] void serve(int channel) {
  for (;;) {
    Request request;
    int fds[kMaxDescriptors] = {-1, -1};
    int count = 0;
    if (receive_record(channel, &request, sizeof request, fds, &count) != 0) ::_exit(0);
    request.path[sizeof request.path - 1] = '\0';
    request.name[sizeof request.name - 1] = '\0';
    request.fresh[sizeof request.fresh - 1] = '\0';
    const int passed = count > 0 ? fds[0] : -1;
    Reply reply;
    int answer[kMaxDescriptors] = {-1, -1};
    int answers = 0;
    switch (request.op) {
      case Op::Open:
      case Op::MakeDirectories: {
        const int fd = request.op == Op::Open ? open_path(request)
                                              : walk_without_links(request.path, O_RDONLY | O_DIRECTORY, 0, true);
        if (fd < 0) {
          reply.error = errno;
        } else if (request.op == Op::Open) {
          answer[answers++] = fd;
        } else {
          ::close(fd);
        }
        break;
      }
      case Op::Listen: {
        const int directory = request.has_directory != 0 && passed >= 0
                                  ? ::fcntl(passed, F_DUPFD_CLOEXEC, 0)
                                  : ::open(request.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory < 0) {
          reply.error = errno;
          break;
        }
        int listener = -1;
        reply = listen_in(request, directory, &listener);
        if (listener >= 0) {
          answer[answers++] = listener;
          answer[answers++] = directory;
        } else {
          ::close(directory);
        }
        break;
      }
      case Op::Remove:
        if (passed < 0 || ::unlinkat(passed, request.name, 0) != 0) reply.error = passed < 0 ? EBADF : errno;
        break;
      default: reply.error = EINVAL;
    }
    for (int i = 0; i < count; ++i) ::close(fds[i]);
    const int sent = send_record(channel, &reply, sizeof reply, answer, answers);
    for (int i = 0; i < answers; ++i) ::close(answer[i]);
    if (sent != 0) ::_exit(0);
  }
}

// ---- The parent's side. ----

Result<void> copy_text(char* into, std::size_t room, std::string_view text) {
  if (auto clean = check_no_interior_nul(text); !clean) return clean;
  if (text.size() >= room) return std::unexpected(os_error(ENAMETOOLONG));
  std::memcpy(into, text.data(), text.size());
  into[text.size()] = '\0';
  return {};
}

struct Exchange {
  Reply reply;
  UniqueFd fds[kMaxDescriptors];
};

Result<Exchange> exchange(const UniqueFd& channel, const Request& request, const UniqueFd* passed) {
  const int fd = passed != nullptr ? passed->get() : -1;
  if (const int sent = send_record(channel.get(), &request, sizeof request, &fd, fd >= 0 ? 1 : 0); sent != 0) {
    return std::unexpected(os_error(sent));
  }
  Exchange result;
  int fds[kMaxDescriptors] = {-1, -1};
  int count = 0;
  const int got = receive_record(channel.get(), &result.reply, sizeof result.reply, fds, &count);
  for (int i = 0; i < count; ++i) result.fds[i] = UniqueFd(fds[i]);
  if (got != 0) return std::unexpected(os_error(got < 0 ? EPIPE : got));
  return result;
}

}  // namespace

namespace detail {

ChildIdentity identity_for(const Client& who) {
  const bool root = ::geteuid() == 0;
  return ChildIdentity{who.uid, who.gid, who.groups.data(), who.groups.size(), root && !who.is_root()};
}

}  // namespace detail

Result<ClientProcess> ClientProcess::start(const Client& who) {
  const bool root = ::geteuid() == 0;
  // A user cannot take another's identity; asking for that is refused as
  // the system refuses the files that user may not reach.
  if (!root && !who.is_root() && who.uid != ::geteuid()) return std::unexpected(os_error(EACCES));
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return std::unexpected(last_os_error());
  UniqueFd parent_end(ends[0]);
  UniqueFd child_end(ends[1]);
  if (::fcntl(parent_end.get(), F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(last_os_error());

  const detail::ChildIdentity identity = detail::identity_for(who);
  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(last_os_error());
  if (pid == 0) {
    // The child: system calls only from here on.
    const int channel = child_end.get();
    detail::close_all_but(channel);
    ::signal(SIGPIPE, SIG_IGN);
    Reply hello{detail::become(identity), 0};
    const int none = -1;
    if (send_record(channel, &hello, sizeof hello, &none, 0) != 0 || hello.error != 0) ::_exit(1);
    serve(channel);
  }
  ClientProcess process(pid, std::move(parent_end));
  child_end = UniqueFd();
  Reply hello;
  int fds[kMaxDescriptors] = {-1, -1};
  int count = 0;
  const int got = receive_record(process.channel_.get(), &hello, sizeof hello, fds, &count);
  for (int i = 0; i < count; ++i) ::close(fds[i]);
  if (got != 0) return std::unexpected(os_error(got < 0 ? EPIPE : got));
  if (hello.error != 0) return std::unexpected(os_error(hello.error));
  return process;
}

ClientProcess::ClientProcess(ClientProcess&& other) noexcept : pid_(other.pid_), channel_(std::move(other.channel_)) {
  other.pid_ = -1;
}

ClientProcess& ClientProcess::operator=(ClientProcess&& other) noexcept {
  if (this != &other) {
    end();
    pid_ = other.pid_;
    channel_ = std::move(other.channel_);
    other.pid_ = -1;
  }
  return *this;
}

ClientProcess::~ClientProcess() { end(); }

void ClientProcess::end() {
  channel_ = UniqueFd();
  if (pid_ <= 0) return;
  // Its user may have stopped it; it holds nothing that needs an orderly end.
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

Result<UniqueFd> ClientProcess::open(const std::filesystem::path& path, int flags, mode_t mode, Links links) {
  Request request;
  request.op = Op::Open;
  request.flags = flags;
  request.mode = mode;
  request.refuse_links = links == Links::Refuse ? 1 : 0;
  if (auto copied = copy_text(request.path, sizeof request.path, path.native()); !copied) {
    return std::unexpected(copied.error());
  }
  auto result = exchange(channel_, request, nullptr);
  if (!result) return std::unexpected(result.error());
  if (result->reply.error != 0) return std::unexpected(os_error(result->reply.error));
  if (!result->fds[0].valid()) return std::unexpected(os_error(EPROTO));
  return std::move(result->fds[0]);
}

Result<void> ClientProcess::make_directories(const std::filesystem::path& path) {
  Request request;
  request.op = Op::MakeDirectories;
  if (auto copied = copy_text(request.path, sizeof request.path, path.native()); !copied) return copied;
  auto result = exchange(channel_, request, nullptr);
  if (!result) return std::unexpected(result.error());
  if (result->reply.error != 0) return std::unexpected(os_error(result->reply.error));
  return {};
}

Result<ListeningSocket> ClientProcess::listen(const std::string& directory_path, const SocketPlan& plan,
                                              const UniqueFd* directory) {
  Request request;
  request.op = Op::Listen;
  request.mode = plan.mode;
  request.has_directory = directory != nullptr ? 1 : 0;
  request.owner = plan.owner ? static_cast<std::int64_t>(*plan.owner) : kNone;
  request.group = plan.group ? static_cast<std::int64_t>(*plan.group) : kNone;
  request.trusted_group = plan.trusted_group ? static_cast<std::int64_t>(*plan.trusted_group) : kNone;
  for (const auto& [into, room, text] :
       {std::tuple{request.path, sizeof request.path, std::string_view(directory_path)},
        std::tuple{request.name, sizeof request.name, std::string_view(plan.name)},
        std::tuple{request.fresh, sizeof request.fresh, std::string_view(plan.fresh)}}) {
    if (auto copied = copy_text(into, room, text); !copied) return std::unexpected(copied.error());
  }
  auto result = exchange(channel_, request, directory);
  if (!result) return std::unexpected(result.error());
  if (result->reply.unsafe_directory != 0) {
    return std::unexpected(
        Error::io("socket directory " + directory_path + " may be written by users other than root and the client"));
  }
  if (result->reply.error != 0) return std::unexpected(os_error(result->reply.error));
  if (!result->fds[0].valid() || !result->fds[1].valid()) return std::unexpected(os_error(EPROTO));
  return ListeningSocket{std::move(result->fds[0]), std::move(result->fds[1])};
}

Result<void> ClientProcess::remove(const UniqueFd& directory, const std::string& name) {
  Request request;
  request.op = Op::Remove;
  if (auto copied = copy_text(request.name, sizeof request.name, name); !copied) return copied;
  auto result = exchange(channel_, request, &directory);
  if (!result) return std::unexpected(result.error());
  if (result->reply.error != 0) return std::unexpected(os_error(result->reply.error));
  return {};
}

bool ClientPaths::needs_child() const {
  if (who_.is_root()) return false;
  // A process that is not root has no rights to shed for its own user.
  return ::geteuid() == 0 || who_.uid != ::geteuid();
}

Result<ClientProcess*> ClientPaths::child() {
  if (!child_) {
    auto started = ClientProcess::start(who_);
    if (!started) return std::unexpected(started.error());
    child_.emplace(std::move(*started));
  }
  return &*child_;
}

Result<UniqueFd> ClientPaths::open(const std::filesystem::path& path, int flags, mode_t mode, Links links) {
  if (needs_child()) {
    auto process = child();
    if (!process) return std::unexpected(process.error());
    return (*process)->open(path, flags, mode, links);
  }
  Request request;
  request.flags = flags;
  request.mode = mode;
  request.refuse_links = links == Links::Refuse ? 1 : 0;
  if (auto copied = copy_text(request.path, sizeof request.path, path.native()); !copied) {
    return std::unexpected(copied.error());
  }
  UniqueFd fd(open_path(request));
  if (!fd.valid()) return std::unexpected(last_os_error());
  return fd;
}

Result<void> ClientPaths::make_directories(const std::filesystem::path& path) {
  if (needs_child()) {
    auto process = child();
    if (!process) return std::unexpected(process.error());
    return (*process)->make_directories(path);
  }
  if (auto clean = check_no_interior_nul(path.native()); !clean) return clean;
  const UniqueFd made(walk_without_links(path.c_str(), O_RDONLY | O_DIRECTORY, 0, true));
  if (!made.valid()) return std::unexpected(last_os_error());
  return {};
}

}  // namespace kelmar_vindle
