// A small HTTP/1.1 server on the loopback address, for the front end's
// downloads: fixed answers by path, served from a thread of its own on a
// port the kernel picks, so that it listens before the constructor returns
// and nothing has to wait for it. It never listens beyond 127.0.0.1.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::testing {

struct HttpAnswer {
  int status = 200;  // with its usual reason phrase
  std::string body;
  bool states_length = true;             // false: no Content-Length, the end of the body is the connection's
  std::optional<std::size_t> cut_after;  // the connection is closed after this many bytes of the body
  bool held = false;                     // with `cut_after`: kept open instead, sending nothing more
};

// Answers each GET with the answer for its path (before any '?'), and a
// 404 for any other path. One connection at a time; each answer is sent in
// full unless cut, and then the connection is closed (a held one once the
// client closes it). A client that stops reading holds the server up only
// until it goes or the server is destroyed, which stops the thread and
// joins it.
class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(std::map<std::string, HttpAnswer> answers);
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
  ~LoopbackHttpServer();

  // Whether it listens; false when no socket could be had (the test fails).
  bool listening() const { return listener_.valid(); }
  // "http://127.0.0.1:{port}{path}".
  std::string url(std::string_view path) const;
  // How many requests have come so far.
  std::size_t requests() const { return requests_.load(); }

 private:
  void serve();
  void answer(int connection);
  // Sends all of `bytes` unless the client goes or a stop is asked for.
  bool send_all(int connection, std::string_view bytes);

  std::map<std::string, HttpAnswer> answers_;
  UniqueFd listener_;
  unsigned short port_ = 0;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::atomic<std::size_t> requests_{0};
  std::thread thread_;
};

}  // namespace kelmar_vindle::testing
