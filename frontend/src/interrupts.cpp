#include "interrupts.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::frontend {
namespace {

// The self-pipe's write end for the handler, -1 while no `Interrupts` lives.
volatile sig_atomic_t g_interrupt_fd = -1;

extern "C" void on_interrupt(int /*signal*/) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already says that a signal came; nothing is lost.
  [[maybe_unused]] const auto written = ::write(g_interrupt_fd, &byte, 1);
  errno = saved;
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

TextResult<std::unique_ptr<Interrupts>> Interrupts::catch_signals() {
  auto pipe = spawn::make_pipe();
  if (!pipe) return std::unexpected(pipe.error().text());
  if (!set_nonblocking(pipe->read.get()) || !set_nonblocking(pipe->write.get())) {
    return std::unexpected(last_os_error("interrupt pipe").text());
  }
  std::unique_ptr<Interrupts> interrupts(new Interrupts());
  interrupts->read_ = std::move(pipe->read);
  interrupts->write_ = std::move(pipe->write);
  g_interrupt_fd = interrupts->write_.get();

  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &interrupts->previous_int_);
  ::sigaction(SIGTERM, &action, &interrupts->previous_term_);
  return interrupts;
}

Interrupts::~Interrupts() {
  ::sigaction(SIGINT, &previous_int_, nullptr);
  ::sigaction(SIGTERM, &previous_term_, nullptr);
  g_interrupt_fd = -1;
}

bool Interrupts::take() {
  bool came = false;
  std::array<char, 64> bytes{};
  while (true) {
    const ssize_t got = ::read(read_.get(), bytes.data(), bytes.size());
    if (got > 0) {
      came = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return came;
  }
}

}  // namespace kelmar_vindle::frontend
