#include "download.hpp"

// The protocols' bit mask is deprecated, yet the only form an older
// libcurl knows (see `run`).
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "kelmar_vindle/spawn.hpp"
#include "kelmar_vindle/version.hpp"
#include "units.hpp"

namespace kelmar_vindle::frontend {
namespace {

// A server that answers nothing at all is given up on after this long; one
// that stalls later is left to Ctrl-C, since the helper legitimately stops
// reading for a while (a launcher asking for a password, a disk unmounted).
constexpr long kConnectSeconds = 60;
constexpr long kMaxRedirects = 10;

struct CurlHandleDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlHandleDeleter>;

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// "404 Not Found" of "HTTP/1.1 404 Not Found"; HTTP/2 sends no reason.
std::string status_of(std::string_view line) {
  const auto space = line.find(' ');
  std::string_view status = space == std::string_view::npos ? line : line.substr(space + 1);
  while (!status.empty() && (status.back() == '\r' || status.back() == '\n' || status.back() == ' ')) {
    status.remove_suffix(1);
  }
  return std::string(status);
}

}  // namespace

struct Download::Callbacks {
  static std::size_t header(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t body(char* data, std::size_t size, std::size_t count, void* self);
  static int progress(void* self, curl_off_t total, curl_off_t now, curl_off_t up_total, curl_off_t up_now);
};

TextResult<std::unique_ptr<Download>> Download::start(const std::string& url) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return std::unexpected(std::string("libcurl did not start"));
  std::unique_ptr<Download> download(new Download());
  download->url_ = url;
  auto stream = spawn::make_pipe();
  auto stop = spawn::make_pipe();
  auto ready = spawn::make_pipe();
  for (const auto* pipe : {&stream, &stop, &ready}) {
    if (!*pipe) return std::unexpected(pipe->error().text());
  }
  // The transfer waits for room in the pipe and for a stop at once.
  if (!set_nonblocking(stream->write.get())) return std::unexpected(last_os_error("download pipe").text());
  download->stream_read_ = std::move(stream->read);
  download->stream_write_ = std::move(stream->write);
  download->stop_read_ = std::move(stop->read);
  download->stop_write_ = std::move(stop->write);
  download->ready_read_ = std::move(ready->read);
  download->ready_write_ = std::move(ready->write);
  // The thread starts with every signal blocked, so that Ctrl-C and
  // SIGTERM reach the main thread, which answers them.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::optional<std::string> failed;
  try {
    download->thread_ = std::thread([raw = download.get()] { raw->run(); });
  } catch (const std::system_error& error) {
    failed = std::string("cannot start the download: ") + error.what();
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failed) return std::unexpected(*failed);
  return download;
}

Download::~Download() {
  stop();
  if (thread_.joinable()) thread_.join();
  curl_global_cleanup();
}

TextResult<std::optional<std::uint64_t>> Download::wait_for_length(Interrupts& interrupts) {
  for (;;) {
    std::array<pollfd, 2> fds{{{ready_read_.get(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error("poll").text());
    }
    if (fds[1].revents != 0 && interrupts.take()) {
      stop();
      return std::optional<std::uint64_t>();
    }
    if (fds[0].revents == 0) continue;
    const std::lock_guard lock(mutex_);
    if (!answered_) continue;
    if (failure_) return std::unexpected(*failure_);
    if (length_) return length_;
    return std::unexpected(std::string("the server sent no answer"));
  }
}

std::optional<std::string> Download::failure() {
  stop();
  if (thread_.joinable()) thread_.join();
  const std::lock_guard lock(mutex_);
  return failure_;
}

void Download::stop() {
  if (stopping_.exchange(true)) return;
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(stop_write_.get(), &byte, 1);
}

void Download::settle(std::optional<std::string> failure, std::optional<std::uint64_t> length) {
  {
    const std::lock_guard lock(mutex_);
    if (answered_ && !failure) return;
    answered_ = true;
    if (!failure_) failure_ = std::move(failure);
    if (length) length_ = length;
  }
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(ready_write_.get(), &byte, 1);
}

void Download::run() {
  std::array<char, CURL_ERROR_SIZE> error{};
  CurlHandle handle(curl_easy_init());
  if (!handle) {
    settle(std::string("libcurl could not make a transfer"));
    stream_write_ = UniqueFd();
    return;
  }
  handle_ = handle.get();
  const std::string agent = "kelmar-vindle/" + std::string(kVersion);
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
  // A libcurl older than 7.85 (the one of macOS 13.0) knows only the
  // protocols' bit mask.
  constexpr long kWebOnly = CURLPROTO_HTTP | CURLPROTO_HTTPS;
  if (curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK) {
    curl_easy_setopt(h, CURLOPT_PROTOCOLS, kWebOnly);
  }
  if (curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, kWebOnly);
  }
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
  // Signals are the main thread's (Ctrl-C, SIGPIPE ignored).
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error.data());
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Callbacks::header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Callbacks::body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Callbacks::progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);

  const CURLcode code = curl_easy_perform(h);
  std::optional<std::string> failure;
  if (code != CURLE_OK && !stopping_.load()) {
    std::string why = error[0] != '\0' ? std::string(error.data()) : std::string(curl_easy_strerror(code));
    curl_off_t received = 0;
    const std::lock_guard lock(mutex_);
    if (length_ && curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &received) == CURLE_OK) {
      why += " (after " + human_size(static_cast<std::uint64_t>(received)) + " of " + human_size(*length_) + ")";
    }
    failure = std::move(why);
  }
  handle_ = nullptr;
  // Closed before the outcome is told: the helper sees the stream end short
  // only once the reason is on record.
  settle(std::move(failure));
  stream_write_ = UniqueFd();
}

std::size_t Download::Callbacks::header(char* data, std::size_t size, std::size_t count, void* self) {
  auto& download = *static_cast<Download*>(self);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) download.status_line_ = status_of(line);
  if (line != "\r\n" && line != "\n") return size * count;
  return download.accept_response() ? size * count : 0;
}

bool Download::accept_response() {
  long code = 0;
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
  if (code / 100 == 1) return true;  // an interim answer; the real one follows
  char* location = nullptr;
  if (code / 100 == 3 && curl_easy_getinfo(handle_, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
      location != nullptr) {
    return true;  // followed
  }
  if (code != 200) {
    settle("the server answered " + (status_line_.empty() ? "status " + std::to_string(code) : status_line_));
    return false;
  }
  curl_off_t length = -1;
  curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (length < 0) {
    settle(
        std::string("the server did not say how long the file is (no Content-Length), and the image's length is "
                    "checked as it is written; download it first and write the file"));
    return false;
  }
  if (length == 0) {
    settle(std::string("the server's file is empty"));
    return false;
  }
  settle(std::nullopt, static_cast<std::uint64_t>(length));
  return true;
}

std::size_t Download::Callbacks::body(char* data, std::size_t size, std::size_t count, void* self) {
  auto& download = *static_cast<Download*>(self);
  return download.deliver(std::string_view(data, size * count)) ? size * count : 0;
}

int Download::Callbacks::progress(void* self, curl_off_t /*total*/, curl_off_t /*now*/, curl_off_t /*up_total*/,
                                  curl_off_t /*up_now*/) {
  return static_cast<Download*>(self)->stopping_.load() ? 1 : 0;
}

bool Download::deliver(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(stream_write_.get(), bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // The helper closed its end: it ended the job, which says why.
      stopping_.store(true);
      return false;
    }
    std::array<pollfd, 2> fds{{{stream_write_.get(), POLLOUT, 0}, {stop_read_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
      stopping_.store(true);
      return false;
    }
    if (fds[1].revents != 0) return false;
  }
  return true;
}

}  // namespace kelmar_vindle::frontend
