// The events of a write that asked for progress: how a backend's reports
// become `accepted` and `progress` events, and what the dispatcher sends for
// each outcome of a job.
#include "kelmar_vindle/progress_events.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <chrono>
#include <functional>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/helper.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using Kind = WritePhase::Kind;
using namespace std::chrono_literals;

// Keeps each event as a short text: "accepted", "writing 0/8", "result".
class RecordingChannel final : public EventChannel {
 public:
  void send(const HelperEvent& event) override {
    if (std::holds_alternative<HelperEvent::Accepted>(event.value)) {
      sent.push_back("accepted");
    } else if (const auto* p = std::get_if<HelperEvent::Progress>(&event.value)) {
      sent.push_back(p->phase + " " + std::to_string(p->bytes_done) + "/" + std::to_string(p->total));
    } else {
      sent.push_back("result");
    }
  }
  void watch() override { ++watched; }

  std::vector<std::string> sent;
  int watched = 0;
};

// One report of a backend, and how much time passes before it.
struct Report {
  std::chrono::milliseconds after;
  std::function<void(ProgressFn&)> make;
};
Report phase(WritePhase p, std::chrono::milliseconds after = 0ms) {
  return {after, [p](ProgressFn& f) { f(p); }};
}
Report count(Kind stage, std::uint64_t done, std::chrono::milliseconds after = 0ms) {
  return {after, [stage, done](ProgressFn& f) { f.count(stage, done, 8); }};
}
Report writing(std::uint64_t done, std::chrono::milliseconds after = 0ms) {
  return phase(WritePhase::writing(done, 8), after);
}

TEST(ProgressEvents, ReportsBecomeEventsForEachPhasesStartEndAndAtMostTenASecondBetween) {
  struct Case {
    std::string_view what;
    std::vector<Report> reports;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {"nothing reported: a refused job is never accepted", {}, {}},
      {"a raw write within one instant: only the starts and ends",
       {phase(WritePhase::of(Kind::CheckingImage)), count(Kind::CheckingImage, 4), count(Kind::CheckingImage, 8),
        writing(0), writing(4), writing(8), phase(WritePhase::of(Kind::Written)),
        phase(WritePhase::of(Kind::Verifying)), count(Kind::Verifying, 4), count(Kind::Verifying, 8),
        phase(WritePhase::of(Kind::Verified))},
       {"accepted", "checking_image 0/8", "checking_image 8/8", "writing 0/8", "writing 8/8", "verifying 0/8",
        "verifying 8/8"}},
      {"the file sink, whose first reports of a phase come after its first MiB",
       {count(Kind::CheckingImage, 8), writing(4), writing(8), phase(WritePhase::of(Kind::Written)),
        phase(WritePhase::of(Kind::Verifying)), count(Kind::Verifying, 8), phase(WritePhase::of(Kind::Verified))},
       {"accepted", "checking_image 0/8", "checking_image 8/8", "writing 0/8", "writing 8/8", "verifying 0/8",
        "verifying 8/8"}},
      {"between start and end, one event once the interval has passed",
       {writing(0), writing(1, 60ms), writing(2, 60ms), writing(3, 60ms), writing(4, 100ms), writing(5, 10ms)},
       {"accepted", "writing 0/8", "writing 2/8", "writing 4/8"}},
      {"counts never go back nor beyond the total",
       {writing(0), writing(5, 200ms), writing(3, 200ms), writing(5, 200ms), writing(20, 200ms)},
       {"accepted", "writing 0/8", "writing 5/8", "writing 8/8"}},
      {"a cancelled job stops where it stood; its result says why",
       {writing(0), writing(2, 200ms), phase(WritePhase::of(Kind::Cancelled))},
       {"accepted", "writing 0/8", "writing 2/8"}},
  };
  for (const auto& c : cases) {
    RecordingChannel channel;
    auto now = std::chrono::steady_clock::time_point{};
    ProgressEvents events(channel, 8, [&] { return now; });
    ProgressFn reporter = events.reporter();
    for (const auto& report : c.reports) {
      now += report.after;
      report.make(reporter);
    }
    EXPECT_EQ(channel.sent, c.sent) << c.what;
  }
}

TEST(ProgressEvents, TheTransportLooksAtItsClientAtEveryReport) {
  RecordingChannel channel;
  ProgressEvents events(channel, 8);
  ProgressFn reporter = events.reporter();
  reporter(WritePhase::of(Kind::CheckingImage));
  reporter.count(Kind::CheckingImage, 8, 8);
  reporter(WritePhase::writing(4, 8));
  EXPECT_EQ(channel.watched, 3);
}

TEST(ProgressEvents, AJobThatDidNotAskIsStillWatchedButSentNothing) {
  RecordingChannel channel;
  ProgressFn reporter = watching_reporter(channel);
  reporter(WritePhase::of(Kind::CheckingImage));
  reporter.count(Kind::CheckingImage, 8, 8);
  reporter(WritePhase::writing(4, 8));
  reporter(WritePhase::of(Kind::Cancelled));
  EXPECT_EQ(channel.watched, 4);
  EXPECT_EQ(channel.sent, std::vector<std::string>{});
}

// Through the dispatcher and the file sink: what a client that asked for
// progress hears for each outcome.
class DispatchWithProgress : public ::testing::Test {
 protected:
  void SetUp() override {
    image = std::string(3 * 1048576 + 5, 'i');
    image_path = dir.write("image.iso", image);
    sink_path = dir.path() / "sink.img";
  }

  WriteJob job() const {
    WriteJob j;
    j.job_id = "progress";
    j.image_path = image_path;
    j.expected_sha256 = checksum::sha256_hex(image);
    j.expected_size = image.size();
    j.write_mode = "raw-dd-hybrid";
    j.target = stick.identity;
    j.confirmed_label = "Stick";
    return j;
  }

  // The events sent, then the result's code ("ok" for success); `watched`
  // counts how often the channel was asked to look at its client.
  std::pair<std::vector<std::string>, std::string> dispatch_write(const WriteJob& j, bool progress,
                                                                  std::atomic<bool>* cancel = nullptr,
                                                                  BackendKind kind = BackendKind::FileSink,
                                                                  int* watched = nullptr) {
    const MockEnumerator live({stick});
    RecordingChannel channel;
    const MockFileBackend sink(sink_path);
    struct NotEnabled final : WriteBackend {
      BackendKind kind() const override { return BackendKind::RealNotEnabled; }
      Result<std::string> write_and_verify(const WriteJob&, std::span<const std::byte>, const std::atomic<bool>&,
                                           ProgressFn&) const override {
        return std::unexpected(Error::io("not reached"));
      }
      using WriteBackend::write_job;
      Result<std::string> write_job(const WriteJob&, const ImageAccess&, const std::atomic<bool>&,
                                    ProgressFn&) const override {
        return std::unexpected(Error::io("not reached"));
      }
    } not_enabled;
    const WriteBackend& writer = kind == BackendKind::FileSink ? static_cast<const WriteBackend&>(sink) : not_enabled;
    HelperRequest request{1, {HelperCommand::Write{j}}, progress};
    const HelperEvent event =
        dispatch(request, DispatchDeps{live, writer, ImageAccess(), JobControl{cancel, &channel}});
    const auto& result = std::get<HelperEvent::Result>(event.value);
    if (watched != nullptr) *watched = channel.watched;
    return {channel.sent, result.ok ? "ok" : std::string(error_code_name(*result.error))};
  }

  testing::TempDir dir;
  const DeviceCandidate stick = testing::usb_stick("SER-P");
  std::string image;
  std::filesystem::path image_path;
  std::filesystem::path sink_path;
};

TEST_F(DispatchWithProgress, AWrittenJobIsAcceptedThenReportedPhaseByPhase) {
  const auto [sent, outcome] = dispatch_write(job(), true);
  EXPECT_EQ(outcome, "ok");
  const std::string size = std::to_string(image.size());
  // Each phase's start and end, in order; what the clock lets through in
  // between may vary, so only those are compared.
  std::vector<std::string> milestones;
  for (const auto& event : sent) {
    if (event == "accepted" || event.find(" 0/") != std::string::npos ||
        event.find(" " + size + "/") != std::string::npos) {
      milestones.push_back(event);
    } else {
      EXPECT_TRUE(event.starts_with("writing ") || event.starts_with("checking_image ") ||
                  event.starts_with("verifying "))
          << event;
    }
  }
  const std::string total = "/" + size;
  EXPECT_EQ(milestones,
            (std::vector<std::string>{"accepted", "checking_image 0" + total, "checking_image " + size + total,
                                      "writing 0" + total, "writing " + size + total, "verifying 0" + total,
                                      "verifying " + size + total}));
}

TEST_F(DispatchWithProgress, OnlyAJobThatAskedAndPassedItsGatesHearsAnything) {
  WriteJob dry = job();
  dry.dry_run = true;
  WriteJob gone = job();
  gone.target.serial = "SOMEONE-ELSE";
  WriteJob wrong_size = job();
  wrong_size.expected_size += 1;
  WriteJob wrong_digest = job();
  wrong_digest.expected_sha256 = std::string(64, '0');

  struct Case {
    std::string_view what;
    WriteJob job;
    bool progress;
    BackendKind kind;
    std::string outcome;
    bool accepted;
  };
  const Case cases[] = {
      {"not asked", job(), false, BackendKind::FileSink, "ok", false},
      {"dry run", dry, true, BackendKind::FileSink, "protocol", false},
      {"target not found", gone, true, BackendKind::FileSink, "device_identity_mismatch", false},
      {"real writes not enabled", job(), true, BackendKind::RealNotEnabled, "real_write_not_enabled", false},
      {"image of another length, refused from its metadata", wrong_size, true, BackendKind::FileSink, "protocol",
       false},
      // The image check is the accepted job's first step; its failure ends it.
      {"image of another digest", wrong_digest, true, BackendKind::FileSink, "image_hash_mismatch", true},
  };
  for (const auto& c : cases) {
    const auto [sent, outcome] = dispatch_write(c.job, c.progress, nullptr, c.kind);
    EXPECT_EQ(outcome, c.outcome) << c.what;
    EXPECT_EQ(!sent.empty() && sent.front() == "accepted", c.accepted) << c.what;
    if (!c.accepted) {
      EXPECT_TRUE(sent.empty()) << c.what;
    }
  }
}

TEST_F(DispatchWithProgress, EveryWriteLetsTheTransportWatchItsClient) {
  for (const bool progress : {true, false}) {
    SCOPED_TRACE(progress ? "with progress" : "without progress");
    int watched = 0;
    const auto [sent, outcome] = dispatch_write(job(), progress, nullptr, BackendKind::FileSink, &watched);
    EXPECT_EQ(outcome, "ok");
    EXPECT_EQ(sent.empty(), !progress);
    // At least once per MiB of the check, the copy and the read-back.
    EXPECT_GE(watched, 3 * 3);
  }
}

TEST_F(DispatchWithProgress, TheTransportsFlagCancelsTheJob) {
  // Set while the target was being re-identified, by a signal or a client
  // gone: the job never starts, and its target is not touched.
  std::atomic<bool> cancel{true};
  for (const bool progress : {true, false}) {
    const auto [sent, outcome] = dispatch_write(job(), progress, &cancel);
    EXPECT_EQ(outcome, "write_cancelled");
    EXPECT_TRUE(sent.empty()) << "never accepted";
    EXPECT_FALSE(std::filesystem::exists(sink_path));
  }
}

}  // namespace
}  // namespace kelmar_vindle
