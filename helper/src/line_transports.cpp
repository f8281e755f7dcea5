#include "line_transports.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

// Collects the bytes up to and including the first line feed, or up to the
// end of the input, but stops once the line is longer than a request may be
// (the reply then says so; nothing more is read). Reads ahead in whole
// buffers, like any buffered reader: what follows the line is never
// processed. On a socket (`handed_over` given) a descriptor sent with the
// line is kept there.
TextResult<std::string> read_request_line(int fd, UniqueFd* handed_over = nullptr) {
  std::string line;
  std::array<std::byte, kReadBufferSize> buffer{};
  for (;;) {
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

TextResult<UniqueFd> listen_on(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return std::unexpected(std::string("path must be shorter than SUN_LEN"));
  // An empty address would ask the kernel for an unnamed (abstract) socket
  // that no client could find; refuse it as the missing path it is.
  if (path.empty()) return std::unexpected(os_error_text(ENOENT));
  std::memcpy(address.sun_path, path.data(), path.size());

  auto listener = close_on_exec(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!listener) return listener;
  if (::bind(listener->get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener->get(), SOMAXCONN) != 0) {
    return std::unexpected(os_error_text(errno));
  }
  return listener;
}

TextResult<UniqueFd> accept_one(const UniqueFd& listener) {
  for (;;) {
    const int fd = ::accept(listener.get(), nullptr, nullptr);
    if (fd < 0 && errno == EINTR) continue;
    return close_on_exec(fd);
  }
}

}  // namespace

std::string handle_line(std::string_view text, const DeviceSnapshot& source, const WriteBackend& backend,
                        const ImageAccess& image) {
  std::string_view line = text;
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.size() > kMaxRequestBytes) {
    return encode_event(error_event(Error::protocol("request exceeds " + std::to_string(kMaxRequestBytes) + " bytes")));
  }
  const HelperEvent event = dispatch_json_with_writer(text::trim_unicode_whitespace(text), source, backend, image);
  return encode_event(event);
}

TextResult<> run_stdin_mode(const DeviceSnapshot& source, const WriteBackend& backend, const Client& launcher) {
  Client client = launcher;
  UniqueFd handed_over;
  struct stat input {};
  const bool socket = ::fstat(STDIN_FILENO, &input) == 0 && S_ISSOCK(input.st_mode);
  if (socket) {
    auto peer = peer_client(STDIN_FILENO);
    if (!peer) return std::unexpected(peer.error().detail());
    client = std::move(*peer);
  }
  const auto line = read_request_line(STDIN_FILENO, socket ? &handed_over : nullptr);
  if (!line) return std::unexpected(line.error());
  const ImageAccess image(std::move(client), handed_over.get());
  return send_line(STDOUT_FILENO, handle_line(*line, source, backend, image) + "\n");
}

TextResult<> run_unix_socket_mode(const std::string& path, const DeviceSnapshot& source, const WriteBackend& backend) {
  // Checked before anything touches the file system: a path cut at its zero
  // byte would name another file, and the next step removes whatever is there.
  if (auto clean = check_no_interior_nul(path); !clean) return std::unexpected(clean.error().detail());
  ::unlink(path.c_str());  // an earlier socket, or any file; errors do not matter

  const auto listener = listen_on(path);
  if (!listener) return std::unexpected(listener.error());
  const auto connection = accept_one(*listener);
  if (!connection) return std::unexpected(connection.error());
  auto client = peer_client(connection->get());
  if (!client) return std::unexpected(client.error().detail());

  UniqueFd handed_over;
  const auto line = read_request_line(connection->get(), &handed_over);
  if (!line) return std::unexpected(line.error());
  const ImageAccess image(std::move(*client), handed_over.get());
  if (auto sent = send_line(connection->get(), handle_line(*line, source, backend, image) + "\n"); !sent) {
    return sent;
  }

  // Only a completed exchange removes the socket; after a failure it stays
  // until the next start replaces it.
  ::unlink(path.c_str());
  return {};
}

}  // namespace kelmar_vindle::helper
