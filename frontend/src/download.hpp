// An image named by an http:// or https:// URL, downloaded by the front end
// with the rights of the person running it and streamed into the helper
// through a pipe: nothing running as root ever talks to the server, and the
// image is never stored in full before it is written.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "interrupts.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// One GET of `url` on a thread of its own. The body goes into a pipe whose
// read end the caller hands to the helper and then closes, so that the helper
// is its only reader: a helper that stops reading (a refused digest, a
// cancelled job) ends the transfer, and a transfer that ends early closes the
// pipe short of the stated length, which the helper refuses.
//
// Redirects are followed between http and https only; the proxies of the
// environment (http_proxy, https_proxy) apply. No other protocol is spoken.
// Content encodings are not asked for, so the bytes are the file as published.
//
// Threading: every member is called on the one thread that made it; the
// transfer's thread touches only its own state and the members guarded by
// `mutex_`. Destroying it stops the transfer and joins the thread.
class Download {
 public:
  // Starts the transfer. Fails only when the URL does not parse or no
  // thread or pipe can be had.
  [[nodiscard]] static TextResult<std::unique_ptr<Download>> start(const std::string& url);

  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;
  ~Download();

  // Waits until the server's answer is known: the length of the body its
  // Content-Length states. Fails with a sentence for a connection that
  // fails, a status other than 200 (after redirects), an answer without a
  // Content-Length, and an empty body. None when `interrupts` reported a
  // signal first (the transfer is then stopped).
  [[nodiscard]] TextResult<std::optional<std::uint64_t>> wait_for_length(Interrupts& interrupts);

  // The pipe's read end, to be handed to the helper; the second call gets
  // an invalid descriptor.
  [[nodiscard]] UniqueFd take_stream() { return std::move(stream_read_); }

  // Stops the transfer without waiting for it: its thread ends soon (within
  // about a second while the server sends nothing) and closes the pipe short
  // of the stated length.
  void stop();

  // Stops the transfer if it still runs, waits for its thread, and says why
  // the download failed when it failed of itself (the server, the
  // connection); none when it delivered every byte or was stopped by the
  // helper going away or by this front end.
  [[nodiscard]] std::optional<std::string> failure();

 private:
  Download() = default;

  // The transfer's thread.
  void run();
  // libcurl's callbacks, on the transfer's thread (download.cpp).
  struct Callbacks;
  // At the end of a response's headers: whether the body that follows is
  // the image; false ends the transfer with `failure_` set.
  bool accept_response();
  // Writes `bytes` into the pipe, waiting for room; false once the reader
  // went away or a stop was asked for.
  bool deliver(std::string_view bytes);
  // Records the outcome once and tells the waiting thread through `ready_`.
  void settle(std::optional<std::string> failure, std::optional<std::uint64_t> length = std::nullopt);

  std::string url_;
  UniqueFd stream_read_;   // the caller's, until handed over
  UniqueFd stream_write_;  // the transfer thread's; closed when it ends
  UniqueFd stop_read_;     // readable once a stop was asked for
  UniqueFd stop_write_;
  UniqueFd ready_read_;  // readable once the answer is known or the transfer ended
  UniqueFd ready_write_;
  // Asked to stop, or the helper stopped reading: an end that is no
  // failure of the download's.
  std::atomic<bool> stopping_{false};
  void* handle_ = nullptr;   // the transfer thread's libcurl handle while it runs
  std::string status_line_;  // the transfer thread's: the latest response's status line

  std::mutex mutex_;
  bool answered_ = false;                // the answer is known (or the transfer ended first)
  std::optional<std::uint64_t> length_;  // the stated length, once accepted
  std::optional<std::string> failure_;   // why the download failed of itself

  std::thread thread_;  // last: started once everything above exists
};

}  // namespace kelmar_vindle::frontend
