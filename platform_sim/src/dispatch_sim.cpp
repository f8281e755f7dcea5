// Serial dispatch queues for the simulated DiskArbitration: each queue is a
// thread of its own that runs the work submitted to it one item at a time,
// in order, as the platform's serial queues do. A queue handle points at its
// `Worker`; the SDK's queue type cannot be constructed outside libdispatch.
#include <dispatch/dispatch.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "dispatch_work.hpp"

namespace platform_sim {
namespace {

class Worker {
 public:
  Worker() : thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard guard(lock_);
      closing_ = true;
    }
    wake_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void submit(std::function<void()> work) {
    {
      std::lock_guard guard(lock_);
      pending_.push_back(std::move(work));
    }
    wake_.notify_all();
  }

 private:
  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      wake_.wait(guard, [&] { return closing_ || !pending_.empty(); });
      if (pending_.empty()) return;  // closing, and everything submitted has run
      auto work = std::move(pending_.front());
      pending_.pop_front();
      guard.unlock();
      work();
      guard.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;
  bool closing_ = false;
  std::thread thread_;  // last: started once the members above exist
};

Worker* worker_of(dispatch_queue_t queue) { return reinterpret_cast<Worker*>(queue); }

}  // namespace

void submit(dispatch_queue_t queue, std::function<void()> work) { worker_of(queue)->submit(std::move(work)); }

}  // namespace platform_sim

extern "C" {

dispatch_queue_t dispatch_queue_create(const char* /*label*/, dispatch_queue_attr_t /*attr*/) {
  return reinterpret_cast<dispatch_queue_t>(new platform_sim::Worker());  // ended by dispatch_release
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
  platform_sim::submit(queue, [context, work] { work(context); });
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
  std::mutex lock;
  std::condition_variable ran;
  bool done = false;
  platform_sim::submit(queue, [&] {
    work(context);
    std::lock_guard guard(lock);
    done = true;
    ran.notify_all();
  });
  std::unique_lock guard(lock);
  ran.wait(guard, [&] { return done; });
}

void dispatch_release(dispatch_object_t object) {
  delete reinterpret_cast<platform_sim::Worker*>(object);  // the simulated queues have one reference
}

}  // extern "C"
