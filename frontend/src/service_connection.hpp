// The installed service: a root process that listens on a Unix-domain
// socket (the service manager's socket unit) and runs the helper for each
// connection, the connection being the helper's standard input and output.
// The front end writes through it when it is there, and through a helper
// of its own (pkexec, sudo) when it is not.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "helper_session.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// Where the installed service listens, unless --service-socket says
// otherwise.
inline constexpr std::string_view kServiceSocket = "/run/kelmar-vindle.sock";

// Whether `socket` names a socket (following symbolic links), where a
// service may listen.
[[nodiscard]] bool service_socket_exists(const std::filesystem::path& socket);

// One connection to the service, as the transport of one write session.
// Owns the socket; main thread only.
class ServiceConnection final : public SessionTransport {
 public:
  // The service at `socket`, connected and vouched for by the kernel as run
  // by root. None when no service is there: no such file, not a socket, or
  // nobody listening (the caller then writes as it did without one). Fails
  // when something else answers there (a program not run by root: the
  // write is never sent to it) or the connection fails otherwise, naming
  // the socket and saying what to do.
  [[nodiscard]] static TextResult<std::optional<ServiceConnection>> reach(const std::filesystem::path& socket);

  ServiceConnection(ServiceConnection&&) noexcept = default;
  ServiceConnection& operator=(ServiceConnection&&) = delete;
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;
  ~ServiceConnection() override = default;

  // Sends `request` (one line, without its line feed) with `image` attached
  // (SCM_RIGHTS): a descriptor the front end opened with the user's rights,
  // through which the helper reads the image, so that it opens no path the
  // user names. `image` stays the caller's.
  [[nodiscard]] TextResult<> send(std::string_view request, int image);

  // The helper's events come back on the same socket; closing it is the
  // hang-up that cancels the job. The service's process is not the front
  // end's: there is nothing more to stop, and nothing to wait for.
  int events() const override { return socket_.get(); }
  int errors() const override { return -1; }
  void hang_up() override { socket_ = UniqueFd(); }
  void close_errors() override {}
  void insist() override {}
  std::string unanswered(std::string_view errors) override;

 private:
  ServiceConnection(std::filesystem::path path, UniqueFd socket) : path_(std::move(path)), socket_(std::move(socket)) {}

  std::filesystem::path path_;
  UniqueFd socket_;
};

}  // namespace kelmar_vindle::frontend
