#include "descriptor_passing.hpp"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace kelmar_vindle::frontend {

Result<void> send_with_descriptor(int socket, std::string_view bytes, int fd) {
  iovec first{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &first;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
  ssize_t sent = -1;
  while ((sent = ::sendmsg(socket, &message, 0)) < 0 && errno == EINTR) {
  }
  if (sent < 0) return std::unexpected(last_os_error());
  // The descriptor went with the first byte; the rest of a long text
  // follows on its own.
  return write_all(socket, bytes.substr(static_cast<std::size_t>(sent)));
}

}  // namespace kelmar_vindle::frontend
