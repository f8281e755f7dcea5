#include "kelmar_vindle/progress_events.hpp"

#include <algorithm>
#include <string>

namespace kelmar_vindle {

ProgressEvents::ProgressEvents(EventChannel& channel, std::uint64_t total, Clock clock)
    : channel_(channel), total_(total), clock_(std::move(clock)) {}

ProgressFn ProgressEvents::reporter() {
  return ProgressFn([this](const WritePhase& reported) { phase(reported); },
                    [this](WritePhase::Kind stage, std::uint64_t done, std::uint64_t /*total*/) { count(stage, done); },
                    [this] { channel_.watch(); });
}

ProgressFn watching_reporter(EventChannel& channel) {
  return ProgressFn([&channel](const WritePhase& /*phase*/) { channel.watch(); },
                    [&channel](WritePhase::Kind, std::uint64_t, std::uint64_t) { channel.watch(); },
                    [&channel] { channel.watch(); });
}

void ProgressEvents::phase(const WritePhase& reported) {
  using Kind = WritePhase::Kind;
  switch (reported.kind) {
    case Kind::CheckingImage: return report(kPhaseCheckingImage, 0);
    case Kind::Writing: return report(kPhaseWriting, reported.bytes_done);
    case Kind::Written: return report(kPhaseWriting, total_);
    case Kind::Verifying: return report(kPhaseVerifying, 0);
    case Kind::Verified: return report(kPhaseVerifying, total_);
    case Kind::Cancelled: return;  // the result says so
  }
}

void ProgressEvents::count(WritePhase::Kind stage, std::uint64_t done) {
  report(stage == WritePhase::Kind::CheckingImage ? kPhaseCheckingImage : kPhaseVerifying, done);
}

void ProgressEvents::report(std::string_view phase, std::uint64_t done) {
  // The backend's first report means the job passed the gates and its work
  // begins; a refused job reports nothing and so is never accepted.
  if (!accepted_) {
    accepted_ = true;
    channel_.send(HelperEvent{HelperEvent::Accepted{}});
  }
  channel_.watch();
  done = std::min(done, total_);
  if (phase_ != phase) {
    // Every phase is seen to start at 0, also where the backend's first
    // report of it comes after its first chunk; that report then waits its
    // turn like any other.
    send(phase, 0);
    if (done == 0) return;
  }
  if (done <= sent_done_) return;
  if (done == total_ || clock_() - sent_at_ >= kInterval) send(phase, done);
}

void ProgressEvents::send(std::string_view phase, std::uint64_t done) {
  phase_ = phase;
  sent_done_ = done;
  sent_at_ = clock_();
  channel_.send(HelperEvent{HelperEvent::Progress{std::string(phase), done, total_}});
}

}  // namespace kelmar_vindle
