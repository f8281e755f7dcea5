// SIGTERM and SIGINT. Between jobs they end the process as they would
// without this module; while a request is being answered they cancel its job
// instead, so that the transport still sends the job's `result`
// ("write_cancelled") before the process ends in order.
//
// Threading: construct one, first thing in the process, before any other
// thread exists. It blocks both signals in the constructing thread, so that
// every thread started afterwards has them blocked too, and waits for them on
// a thread of its own. A signal the process was started with ignored stays
// ignored and is not watched. Children get an empty mask (run_captured).
// Destroy it on the thread that made it, after every scope has ended.
#pragma once

#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace kelmar_vindle::helper {

class JobSignals {
 public:
  JobSignals();
  ~JobSignals();
  JobSignals(const JobSignals&) = delete;
  JobSignals& operator=(const JobSignals&) = delete;

  // While it lives, a watched signal sets the request's cancellation flag
  // (release) instead of ending the process. One scope at a time.
  class Scope {
   public:
    Scope() = default;
    Scope(Scope&& other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
    Scope& operator=(Scope&&) = delete;
    ~Scope();

   private:
    friend class JobSignals;
    explicit Scope(JobSignals* owner) : owner_(owner) {}
    JobSignals* owner_ = nullptr;
  };
  [[nodiscard]] Scope cancel_on_signal(std::atomic<bool>& cancel);

  // A signal cancelled a request: a long-lived mode ends once that
  // request's reply is out.
  [[nodiscard]] bool stop_requested() const;

 private:
  void wait_for_signals();

  sigset_t watched_{};
  sigset_t previous_mask_{};
  mutable std::mutex lock_;
  std::atomic<bool>* cancel_ = nullptr;  // the running request's, under `lock_`
  bool stop_requested_ = false;          // under `lock_`
  bool stopping_ = false;                // under `lock_`
  std::thread watcher_;                  // last: started once the rest is set
};

}  // namespace kelmar_vindle::helper
