// The one-shot byte-stream transports: one request line in, one reply line
// out, over standard input/output or one Unix-domain socket connection.
#pragma once

#include <string>
#include <string_view>

#include "kelmar_vindle/helper.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// The longest request line answered, line feed not counted; a longer one is
// answered "helper protocol error: request exceeds 1048576 bytes".
inline constexpr std::size_t kMaxRequestBytes = 1048576;

// Trims Unicode white space, dispatches for `image`'s client, and encodes the one
// event as a compact JSON line (without its line feed). Never fails.
std::string handle_line(std::string_view text, const DeviceSnapshot& source, const WriteBackend& backend,
                        const ImageAccess& image = ImageAccess());

// Answers one request read from standard input on standard output. The
// client is the peer when standard input is a Unix-domain socket (a
// socket-activated service), else `launcher`, the user who started the
// helper (start-up decides).
[[nodiscard]] TextResult<> run_stdin_mode(const DeviceSnapshot& source, const WriteBackend& backend,
                                          const Client& launcher = Client::root());

// Binds `path`, accepts one connection, answers one request on it for the
// connection's peer and removes the socket file again. The peer may send one
// descriptor (SCM_RIGHTS) with the request line: the image is then read
// through it and `image_path` is never opened.
[[nodiscard]] TextResult<> run_unix_socket_mode(const std::string& path, const DeviceSnapshot& source,
                                                const WriteBackend& backend);

}  // namespace kelmar_vindle::helper
