#include "line_transports.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/text.hpp"
#include "peer_client.hpp"

namespace kelmar_vindle::helper {
namespace {

constexpr std::size_t kReadBufferSize = 8192;

// One read from the socket `fd` that also takes the descriptors sent with
// the bytes: the first one ever sent lands in `handed_over`, any other is
// closed at once.
Result<std::size_t> receive_some(int fd, std::span<std::byte> buffer, UniqueFd& handed_over) {
  iovec bytes{buffer.data(), buffer.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * 8)> control{};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  ssize_t got = 0;
  while ((got = ::recvmsg(fd, &message, 0)) < 0 && errno == EINTR) {
  }
  if (got < 0) return std::unexpected(last_os_error());
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int received = -1;
      std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
      UniqueFd owned(received);
      // Not inherited by the disk utility; only the first one is the image.
      if (!handed_over.valid() && ::fcntl(owned.get(), F_SETFD, FD_CLOEXEC) == 0) handed_over = std::move(owned);
    }
  }
  return static_cast<std::size_t>(got);
}

// The moment by which a client's whole request must have arrived, and the
// limit it came from, which the failure names.
struct RequestDeadline {
  std::chrono::steady_clock::time_point at;
  unsigned seconds = 0;
};

// One limit for the whole request from now on, not one per read; none
// without a limit.
std::optional<RequestDeadline> deadline_from_now(std::optional<unsigned> seconds) {
  if (!seconds) return std::nullopt;
  return RequestDeadline{std::chrono::steady_clock::now() + std::chrono::seconds(*seconds), *seconds};
}

// Waits until `fd` has something to read (or its end) before `deadline`;
// fails with the deadline's own text once it has passed.
TextResult<> wait_readable(int fd, const RequestDeadline& deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.at - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd stream{fd, POLLIN, 0};
    const int ready = ::poll(&stream, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60'000)));
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) return std::unexpected(os_error_text(errno));
  }
  return std::unexpected("client sent no request within " + std::to_string(deadline.seconds) + " seconds");
}

// Collects the bytes up to and including the first line feed, or up to the
// end of the input, but stops once the line is longer than a request may be
// (the reply then says so; nothing more is read). Reads ahead in whole
// buffers, like any buffered reader: what follows the line is never
// processed. On a socket (`handed_over` given) a descriptor sent with the
// line is kept there. With `deadline`, the whole line must have come by
// then: a client that sends a byte now and then holds nothing open longer.
TextResult<std::string> read_request_line(int fd, UniqueFd* handed_over = nullptr,
                                          const std::optional<RequestDeadline>& deadline = std::nullopt) {
  std::string line;
  std::array<std::byte, kReadBufferSize> buffer{};
  for (;;) {
    if (deadline) {
      if (auto ready = wait_readable(fd, *deadline); !ready) return std::unexpected(ready.error());
    }
    const auto got = handed_over != nullptr ? receive_some(fd, buffer, *handed_over) : read_some(fd, buffer);
    if (!got) return std::unexpected(got.error().detail());
    if (*got == 0) break;
    const std::string_view chunk(reinterpret_cast<const char*>(buffer.data()), *got);
    const auto line_feed = chunk.find('\n');
    if (line_feed != std::string_view::npos) {
      line.append(chunk.substr(0, line_feed + 1));
      break;
    }
    line.append(chunk);
    if (line.size() > kMaxRequestBytes) return line;  // too long: refused as such, whatever its bytes
  }
  if (!text::is_valid_utf8(line)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return line;
}

// Writes the reply line; a failure is the mode's failure text.
TextResult<> send_line(int fd, const std::string& line) {
  if (auto written = write_all(fd, line); !written) return std::unexpected(written.error().detail());
  return {};
}

// A descriptor that is not inherited by child processes (the raw backend
// runs the disk utility).
TextResult<UniqueFd> close_on_exec(int fd) {
  if (fd < 0) return std::unexpected(os_error_text(errno));
  UniqueFd owned(fd);
  if (::fcntl(owned.get(), F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(os_error_text(errno));
  return owned;
}

// Events as lines on the client's stream `fd`. The client going away
// cancels the job: the other end closed (a hang-up; a socket peer that only
// shut down its sending side still reads), or a write failing.
class StreamEvents final : public EventChannel {
 public:
  StreamEvents(int fd, std::atomic<bool>& cancel) : fd_(fd), cancel_(cancel) {}

  void send(const HelperEvent& event) override {
    if (gone_) return;
    // A client that does not read its events must not hold a cancelled job
    // up: wait for room a little at a time, and once the job is cancelled
    // not at all; an event with no room then is dropped. The reply itself is
    // written without such a limit.
    for (;;) {
      const bool cancelled = cancel_.load(std::memory_order_acquire);
      pollfd stream{fd_, POLLOUT, 0};
      const int ready = ::poll(&stream, 1, cancelled ? 0 : 100);
      if (ready > 0 && (stream.revents & (POLLHUP | POLLERR)) != 0) return hang_up();
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return hang_up();
      if (cancelled) return;
    }
    if (!write_all(fd_, encode_event(event) + "\n")) hang_up();
  }

  void watch() override {
    if (gone_) return;
    // Asked for the direction the job still needs: XNU registers nothing for
    // an entry without events (and never reports it), and reports POLLIN
    // with POLLHUP as soon as the client shut only its sending side, while
    // POLLOUT reports POLLHUP once the client is gone altogether.
    pollfd stream{fd_, POLLOUT, 0};
    if (::poll(&stream, 1, 0) > 0 && (stream.revents & (POLLHUP | POLLERR)) != 0) hang_up();
  }

 private:
  void hang_up() {
    gone_ = true;
    cancel_.store(true, std::memory_order_release);
  }

  int fd_;
  std::atomic<bool>& cancel_;
  bool gone_ = false;
};

// Answers `line` on `fd` for `image`'s client, a `write` authorized for
// `peer`'s process (the socket's peer, where one is known), and writes the
// reply line; SIGTERM and SIGINT cancel the job meanwhile.
TextResult<> answer_on(int fd, const std::string& line, const Serving& serving, const ImageAccess& image,
                       const std::optional<PeerProcess>& peer) {
  std::atomic<bool> cancel{false};
  StreamEvents events(fd, cancel);
  const auto scope = serving.signals != nullptr ? serving.signals->cancel_on_signal(cancel) : JobSignals::Scope();
  const WriteAuthorization authorization{serving.authorizer, peer};
  return send_line(
      fd,
      handle_line(line, serving.source, serving.backend, image, JobControl{&cancel, &events}, authorization) + "\n");
}

bool may_be_served(const Client& peer, const std::optional<SocketClient>& only) {
  if (!only || peer.is_root() || peer.uid == only->uid) return true;
  if (!only->gid) return false;
  return peer.gid == *only->gid || std::find(peer.groups.begin(), peer.groups.end(), *only->gid) != peer.groups.end();
}

struct Connection {
  UniqueFd fd;
  Peer peer;
};

// The first connection whose peer may be served; others are closed unanswered.
TextResult<Connection> accept_client(int listener, const std::optional<SocketClient>& only) {
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0 && errno == EINTR) continue;
    auto connection = close_on_exec(fd);
    if (!connection) return std::unexpected(connection.error());
    auto peer = peer_client(connection->get());
    if (!peer) return std::unexpected(peer.error().detail());
    if (may_be_served(peer->client, only)) return Connection{std::move(*connection), std::move(*peer)};
  }
}

}  // namespace

std::string handle_line(std::string_view text, const DeviceSnapshot& source, const WriteBackend& backend,
                        const ImageAccess& image, const JobControl& job, const WriteAuthorization& authorization) {
  std::string_view line = text;
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.size() > kMaxRequestBytes) {
    return encode_event(error_event(Error::protocol("request exceeds " + std::to_string(kMaxRequestBytes) + " bytes")));
  }
  const HelperEvent event =
      dispatch_json_with_writer(text::trim_unicode_whitespace(text), source, backend, image, job, authorization);
  return encode_event(event);
}

std::string different_clients_text(std::string_view first, uid_t first_uid, std::string_view second, uid_t second_uid) {
  return std::string(first) + " and " + std::string(second) + " name different clients (" + std::to_string(first_uid) +
         " and " + std::to_string(second_uid) + ")";
}

TextResult<> run_stdin_mode(const Serving& serving, const LaunchingClient& launcher,
                            std::optional<unsigned> idle_seconds) {
  const auto deadline = deadline_from_now(idle_seconds);
  Peer client{launcher.client, std::nullopt};
  UniqueFd handed_over;
  struct stat input {};
  const bool socket = ::fstat(STDIN_FILENO, &input) == 0 && S_ISSOCK(input.st_mode);
  if (socket) {
    auto peer = peer_client(STDIN_FILENO);
    if (!peer) return std::unexpected(peer.error().detail());
    // The kernel vouches for the peer; a named client who is someone else
    // leaves open whom the request is for, so none is served.
    if (!launcher.named_by.empty() && peer->client.uid != launcher.client.uid) {
      return std::unexpected(
          different_clients_text("the socket's peer", peer->client.uid, launcher.named_by, launcher.client.uid));
    }
    client = std::move(*peer);
  } else if (serving.authorizer != nullptr) {
    return std::unexpected(
        std::string("--authorize needs a socket as standard input: only a socket's peer is a process the kernel "
                    "vouches for"));
  }
  const auto line = read_request_line(STDIN_FILENO, socket ? &handed_over : nullptr, socket ? deadline : std::nullopt);
  if (!line) return std::unexpected(line.error());
  const ImageAccess image(std::move(client.client), handed_over.get());
  return answer_on(STDOUT_FILENO, *line, serving, image, client.process);
}

TextResult<> run_unix_socket_mode(const std::string& path, const Serving& serving,
                                  const std::optional<SocketClient>& only, std::optional<unsigned> idle_seconds,
                                  const Client& launched_by) {
  // Checked before anything touches the file system: a path cut at its zero
  // byte would name another file, and the rename replaces whatever is there.
  if (auto clean = check_no_interior_nul(path); !clean) return std::unexpected(clean.error().detail());

  auto place = SocketPlace::make(path, only, launched_by);
  if (!place) return std::unexpected(place.error());
  auto connection = accept_client(place->listener(), only);
  if (!connection) return std::unexpected(connection.error());

  // From the moment the connection was accepted.
  const auto deadline = deadline_from_now(idle_seconds);
  UniqueFd handed_over;
  const auto line = read_request_line(connection->fd.get(), &handed_over, deadline);
  if (!line) return std::unexpected(line.error());
  const ImageAccess image(std::move(connection->peer.client), handed_over.get());
  if (auto sent = answer_on(connection->fd.get(), *line, serving, image, connection->peer.process); !sent) return sent;

  // Only a completed exchange removes the socket; after a failure it stays
  // until the next start replaces it.
  place->remove();
  return {};
}

}  // namespace kelmar_vindle::helper
