#include "job_signals.hpp"

#include <pthread.h>
#include <unistd.h>

namespace kelmar_vindle::helper {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

bool ignored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// What the signal would have done had it not been blocked: its default
// action, which ends the process with it.
[[noreturn]] void end_by(int signal) {
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action of both ends the process
}

}  // namespace

JobSignals::JobSignals() {
  sigemptyset(&watched_);
  bool any = false;
  for (const int signal : kSignals) {
    if (ignored(signal)) continue;
    sigaddset(&watched_, signal);
    any = true;
  }
  ::pthread_sigmask(SIG_BLOCK, &watched_, &previous_mask_);
  if (any) watcher_ = std::thread([this] { wait_for_signals(); });
}

JobSignals::~JobSignals() {
  if (watcher_.joinable()) {
    {
      const std::lock_guard guard(lock_);
      stopping_ = true;
    }
    for (const int signal : kSignals) {
      if (sigismember(&watched_, signal) == 1) {
        ::pthread_kill(watcher_.native_handle(), signal);
        break;
      }
    }
    watcher_.join();
  }
  ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

void JobSignals::wait_for_signals() {
  for (;;) {
    int signal = 0;
    if (::sigwait(&watched_, &signal) != 0) continue;
    const std::lock_guard guard(lock_);
    if (stopping_) return;
    if (cancel_ == nullptr) end_by(signal);
    cancel_->store(true, std::memory_order_release);
    stop_requested_ = true;
  }
}

JobSignals::Scope JobSignals::cancel_on_signal(std::atomic<bool>& cancel) {
  const std::lock_guard guard(lock_);
  cancel_ = &cancel;
  return Scope(this);
}

JobSignals::Scope::~Scope() {
  if (owner_ == nullptr) return;
  const std::lock_guard guard(owner_->lock_);
  owner_->cancel_ = nullptr;
}

bool JobSignals::stop_requested() const {
  const std::lock_guard guard(lock_);
  return stop_requested_;
}

}  // namespace kelmar_vindle::helper
