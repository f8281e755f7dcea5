#include "http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace kelmar_vindle::testing {
namespace {

constexpr std::size_t kMaxRequestHead = 65536;

std::string reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// The path of "GET /path?query HTTP/1.1", without its query.
std::string requested_path(std::string_view head) {
  const auto first = head.find(' ');
  if (first == std::string_view::npos) return "";
  const auto second = head.find(' ', first + 1);
  std::string_view target = head.substr(first + 1, second == std::string_view::npos ? 0 : second - first - 1);
  return std::string(target.substr(0, target.find('?')));
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(std::map<std::string, HttpAnswer> answers) : answers_(std::move(answers)) {
  std::array<int, 2> stop{-1, -1};
  if (::pipe(stop.data()) != 0) return;
  stop_read_ = UniqueFd(stop[0]);
  stop_write_ = UniqueFd(stop[1]);
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (!listener.valid() || ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 8) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  listener_ = std::move(listener);
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  if (stop_write_.valid()) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stop_write_.get(), &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
}

std::string LoopbackHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackHttpServer::serve() {
  for (;;) {
    std::array<pollfd, 2> fds{{{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (connection.valid()) answer(connection.get());
  }
}

void LoopbackHttpServer::answer(int connection) {
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    std::array<pollfd, 2> fds{{{connection, POLLIN, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    std::array<char, 4096> buffer{};
    const ssize_t got = ::recv(connection, buffer.data(), buffer.size(), 0);
    if (got == 0) return;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return;
    }
    head.append(buffer.data(), static_cast<std::size_t>(got));
  }
  requests_.fetch_add(1);
  const auto found = answers_.find(requested_path(head));
  HttpAnswer answer;
  answer.status = 404;
  answer.body = "not here\n";
  if (found != answers_.end()) answer = found->second;
  std::string response = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
  if (answer.states_length) response += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  response += "Connection: close\r\n\r\n";
  const std::string_view body = std::string_view(answer.body).substr(0, answer.cut_after.value_or(answer.body.size()));
  if (!send_all(connection, response) || !send_all(connection, body) || !answer.held) return;
  // Stalled: nothing more until the client goes.
  for (;;) {
    std::array<pollfd, 2> fds{{{connection, POLLIN, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    std::array<char, 4096> buffer{};
    if (fds[0].revents != 0 && ::recv(connection, buffer.data(), buffer.size(), 0) <= 0) return;
  }
}

bool LoopbackHttpServer::send_all(int connection, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    std::array<pollfd, 2> fds{{{connection, POLLOUT, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
  }
  return true;
}

}  // namespace kelmar_vindle::testing
