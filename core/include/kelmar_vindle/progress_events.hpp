// The events a `write` that asked for progress sends ahead of its `result`:
// one `accepted` once the backend starts work (the job passed every gate),
// then `progress` for the image check, the copy and the read-back. Each
// phase is reported at its start (0) and its end (`total`) and in between
// at most once per `kInterval`; `bytes_done` never goes back within a phase
// and never exceeds `total`, the image's length.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle {

// Where a transport takes one request's events, lent for the request.
// Called on the job's thread only.
class EventChannel {
 public:
  virtual ~EventChannel() = default;

  // Sends the event to the client at once, ahead of the reply.
  virtual void send(const HelperEvent& event) = 0;
  // Asked about once per MiB of work: a transport that can tell that its
  // client went away cancels the job here (it owns the job's flag).
  virtual void watch() {}
};

// Turns one job's phases and counts into events on `channel`. Lives for one
// job, on the job's thread; borrows the channel.
class ProgressEvents {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::milliseconds kInterval{100};

  ProgressEvents(EventChannel& channel, std::uint64_t total, Clock clock = &std::chrono::steady_clock::now);
  ProgressEvents(const ProgressEvents&) = delete;
  ProgressEvents& operator=(const ProgressEvents&) = delete;

  // What the backend reports to; it borrows this object.
  ProgressFn reporter();

 private:
  void phase(const WritePhase& phase);
  void count(WritePhase::Kind stage, std::uint64_t bytes_done);
  void report(std::string_view phase, std::uint64_t bytes_done);
  void send(std::string_view phase, std::uint64_t bytes_done);

  EventChannel& channel_;
  std::uint64_t total_;
  Clock clock_;
  bool accepted_ = false;
  std::optional<std::string_view> phase_;  // the phase last sent
  std::uint64_t sent_done_ = 0;            // its count last sent
  std::chrono::steady_clock::time_point sent_at_{};
};

// The reporter of a job that did not ask for progress: it sends nothing, but
// still lets the transport look at its client at every report, so that a
// client going away cancels such a job too. Borrows `channel`.
ProgressFn watching_reporter(EventChannel& channel);

}  // namespace kelmar_vindle
