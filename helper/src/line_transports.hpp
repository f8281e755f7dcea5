// The one-shot byte-stream transports: one request line in, one reply line
// out, over standard input/output or one Unix-domain socket connection.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "job_signals.hpp"
#include "kelmar_vindle/helper.hpp"
#include "socket_place.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// The longest request line answered, line feed not counted; a longer one is
// answered "helper protocol error: request exceeds 1048576 bytes".
inline constexpr std::size_t kMaxRequestBytes = 1048576;

// Trims Unicode white space, dispatches for `image`'s client (lending the
// job `job`, and authorizing a `write` as `authorization` says), and
// encodes the one reply event as a compact JSON line (without its line
// feed). Never fails.
std::string handle_line(std::string_view text, const DeviceSnapshot& source, const WriteBackend& backend,
                        const ImageAccess& image = ImageAccess(), const JobControl& job = JobControl(),
                        const WriteAuthorization& authorization = WriteAuthorization());

// What a stream mode answers its request with, borrowed for the mode's run.
struct Serving {
  const DeviceSnapshot& source;
  const WriteBackend& backend;
  // --authorize: asked about every `write` for the socket's peer process.
  const WriteAuthorizer* authorizer = nullptr;
  // SIGTERM and SIGINT cancel the request's job (job_signals.hpp).
  JobSignals* signals = nullptr;
};

// Both stream modes: a `write` that asks for progress gets each event as a
// line of its own, written as it happens, before its reply line; its client
// going away (the connection or standard output closed by the other end, or
// a write failing) cancels it. With `signals`, SIGTERM and SIGINT cancel the
// request's job from the moment its line is read until its reply is written.

// Whom the standard-input mode serves when nothing else decides, as start-up
// settled it, and what named that client.
struct LaunchingClient {
  Client client = Client::root();
  // "--client-uid", "PKEXEC_UID" or "SUDO_UID"; empty when nothing named
  // the client (it is the process's real user and group).
  std::string named_by;
};

// "{first} and {second} name different clients ({first_uid} and {second_uid})".
[[nodiscard]] std::string different_clients_text(std::string_view first, uid_t first_uid, std::string_view second,
                                                 uid_t second_uid);

// Answers one request read from standard input on standard output. The
// client is the peer when standard input is a Unix-domain socket (a
// socket-activated service), else `launcher`'s client, the user who started
// the helper (start-up decides). A socket's peer other than the user
// `launcher` names (when something named one) ends the mode unanswered
// ("the socket's peer and SUDO_UID name different clients (0 and 1000)").
// On a socket, with `idle_seconds`, the whole request line must arrive
// within that many seconds of the start, as in the Unix-socket mode. With
// an authorizer, standard input must be a socket: its peer's process is
// the one the authority is asked about, and nothing else names a process
// the kernel vouches for.
[[nodiscard]] TextResult<> run_stdin_mode(const Serving& serving, const LaunchingClient& launcher = LaunchingClient(),
                                          std::optional<unsigned> idle_seconds = std::nullopt);

// Creates the socket at `path` (see `SocketPlace`: atomically, in a
// directory only root and the client may write, by root only in a directory
// root alone controls, else by a process with the client's rights; for
// `launched_by`, the user who started the helper, when that is not root),
// accepts one connection, answers one request on it for the connection's
// peer and removes the socket file again. With `only`, the socket belongs to
// that user (mode 0600, or 0660 with its group) from the moment it exists,
// and a peer that is neither root nor that user (nor in that group) is
// closed without an answer while the helper waits on for its client. The peer may send one
// descriptor (SCM_RIGHTS) with the request line: the image is then read
// through it and `image_path` is never opened.
// With `idle_seconds`, a client whose whole request line has not arrived
// that long after its connection was accepted, however it spaces its bytes,
// ends the mode ("client sent no request within {} seconds").
[[nodiscard]] TextResult<> run_unix_socket_mode(const std::string& path, const Serving& serving,
                                                const std::optional<SocketClient>& only = std::nullopt,
                                                std::optional<unsigned> idle_seconds = std::nullopt,
                                                const Client& launched_by = Client::root());

}  // namespace kelmar_vindle::helper
