#include <gtest/gtest.h>

#include "printers.hpp"

#include <functional>

#include "devices.hpp"
#include "kelmar_vindle/helper.hpp"

namespace kelmar_vindle {
namespace {

class FakeSnapshot final : public DeviceSnapshot {
 public:
  explicit FakeSnapshot(Result<std::vector<DeviceCandidate>> list) : list_(std::move(list)) {}
  Result<std::vector<DeviceCandidate>> list() const override {
    ++calls;
    return list_;
  }
  mutable int calls = 0;

 private:
  Result<std::vector<DeviceCandidate>> list_;
};

class FakeBackend final : public WriteBackend {
 public:
  FakeBackend(BackendKind kind, Result<std::string> outcome) : kind_(kind), outcome_(std::move(outcome)) {}
  BackendKind kind() const override { return kind_; }
  Result<std::string> write_and_verify(const WriteJob& job, std::span<const std::byte>, const std::atomic<bool>& cancel,
                                       ProgressFn& progress) const override {
    return write_job(job, ImageAccess(), cancel, progress);
  }
  Result<std::string> write_job(const WriteJob& job, const ImageAccess& /*image*/, const std::atomic<bool>& cancel,
                                ProgressFn& progress) const override {
    written.push_back(job);
    cancel_was_set = cancel.load();
    progress(WritePhase::of(WritePhase::Kind::Written));  // the dispatcher's sink takes and ignores every phase
    return outcome_;
  }
  mutable std::vector<WriteJob> written;
  mutable bool cancel_was_set = true;

 private:
  BackendKind kind_;
  Result<std::string> outcome_;
};

DeviceCandidate stick(std::string serial, std::string bsd_name) {
  return testing::usb_stick(std::move(serial), std::move(bsd_name), 4096);
}

WriteJob job_for(const DeviceCandidate& confirmed) {
  WriteJob job;
  job.job_id = "job-7";
  job.image_path = "/images/a.iso";
  job.expected_sha256 = std::string(64, 'c');
  job.expected_size = 4096;
  job.write_mode = "raw-dd-hybrid";
  job.target = confirmed.identity;
  job.confirmed_label = "Acme Stick";
  return job;
}

const std::string kDigest(64, 'd');

struct Expected {
  bool ok;
  std::optional<ErrorCode> error;
  std::optional<std::string> message;
  bool resolved;
  bool digest;
};

void expect_event(const HelperEvent& event, const Expected& e) {
  const auto& r = std::get<HelperEvent::Result>(event.value);
  EXPECT_EQ(r.ok, e.ok);
  EXPECT_EQ(r.error, e.error);
  EXPECT_EQ(r.message, e.message);
  EXPECT_EQ(r.resolved_device.has_value(), e.resolved);
  EXPECT_EQ(r.usb_sha256.has_value(), e.digest);
  if (e.digest) {
    EXPECT_EQ(r.usb_sha256, kDigest);
  }
}

HelperRequest write_request(WriteJob job) { return {1, {HelperCommand::Write{std::move(job)}}}; }
HelperRequest validate_request(WriteJob job) { return {1, {HelperCommand::Validate{std::move(job)}}}; }

TEST(Dispatcher, OutcomeTable) {
  const DeviceCandidate confirmed = stick("SER", "disk4");
  const DeviceCandidate live = stick("SER", "disk7");  // re-plugged under another name
  const WriteJob job = job_for(confirmed);
  const auto with = [&](const std::function<void(WriteJob&)>& change) {
    WriteJob j = job;
    change(j);
    return j;
  };
  const std::vector<DeviceCandidate> one{stick("OTHER", "disk2"), live};
  const Result<std::string> ok_digest = kDigest;
  const Result<std::string> stopped = std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());
  const Result<std::string> hash_mismatch = std::unexpected(Error::make<ErrorKind::ImageHashMismatch>("a", "b"));
  const std::string mismatch_text = "device identity does not match the confirmed target";

  struct Case {
    std::string_view what;
    HelperRequest request;
    Result<std::vector<DeviceCandidate>> list;
    BackendKind kind;
    Result<std::string> outcome;
    Expected expected;
    int list_calls;
    bool backend_called;
  };
  const Case cases[] = {
      {"unsupported version",
       {2, {HelperCommand::Cancel{}}},
       one,
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::Protocol, "unsupported v=2", false, false},
       0,
       false},
      {"cancel",
       {1, {HelperCommand::Cancel{}}},
       one,
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::Protocol, "cancel has no in-flight job in this dispatch", false, false},
       0,
       false},
      {"shape before listing",
       write_request(with([](auto& j) { j.job_id.clear(); })),
       std::unexpected(Error::io("must not be listed")),
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::Protocol, "helper protocol error: job_id is empty", false, false},
       0,
       false},
      {"list fails",
       validate_request(job),
       std::unexpected(Error::make<ErrorKind::PlatformEnumerationUnavailable>()),
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::Protocol, "platform enumeration is not available on this OS", false, false},
       1,
       false},
      {"validate ok, dry run and backend ignored",
       validate_request(with([](auto& j) { j.dry_run = true; })),
       one,
       BackendKind::RealNotEnabled,
       ok_digest,
       {true, {}, {}, true, false},
       1,
       false},
      {"validate, gone",
       validate_request(job),
       std::vector<DeviceCandidate>{},
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::DeviceGone, "device disappeared before revalidation", false, false},
       1,
       false},
      {"dry-run write for a gone disk",
       write_request(with([](auto& j) { j.dry_run = true; })),
       std::vector<DeviceCandidate>{},
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::DeviceGone, "device disappeared before revalidation", false, false},
       1,
       false},
      {"dry-run write for another disk",
       write_request(with([](auto& j) { j.dry_run = true; })),
       std::vector<DeviceCandidate>{stick("OTHER", "disk2")},
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::DeviceIdentityMismatch, mismatch_text, false, false},
       1,
       false},
      {"dry-run write",
       write_request(with([](auto& j) { j.dry_run = true; })),
       one,
       BackendKind::FileSink,
       ok_digest,
       {false, ErrorCode::Protocol, "write refused: job.dry_run is true", false, false},
       1,
       false},
      {"real write not enabled",
       write_request(job),
       one,
       BackendKind::RealNotEnabled,
       ok_digest,
       {false, ErrorCode::RealWriteNotEnabled, "real USB write is not enabled (P2c-4 not approved)", false, false},
       1,
       false},
      {"write ok", write_request(job), one, BackendKind::FileSink, ok_digest, {true, {}, {}, true, true}, 1, true},
      {"raw backend passes the gate",
       write_request(job),
       one,
       BackendKind::MacosRaw,
       ok_digest,
       {true, {}, {}, true, true},
       1,
       true},
      {"stopped before device open",
       write_request(job),
       one,
       BackendKind::MacosRaw,
       stopped,
       {false, ErrorCode::WriteStoppedBeforeDeviceOpen, "write prepared; raw device open is not enabled", true, false},
       1,
       true},
      {"backend fails otherwise",
       write_request(job),
       one,
       BackendKind::FileSink,
       hash_mismatch,
       {false, ErrorCode::ImageHashMismatch, "image hash mismatch: expected a, actual b", false, false},
       1,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const FakeSnapshot snapshot(c.list);
    const FakeBackend backend(c.kind, c.outcome);
    expect_event(dispatch(c.request, {snapshot, backend}), c.expected);
    EXPECT_EQ(snapshot.calls, c.list_calls);
    EXPECT_EQ(backend.written.size(), c.backend_called ? 1u : 0u);
  }
}

TEST(Dispatcher, BackendWritesTheLiveDiskAndTheEventNamesIt) {
  const DeviceCandidate live = stick("SER", "disk7");
  const WriteJob job = job_for(stick("SER", "disk4"));
  const FakeSnapshot snapshot(std::vector<DeviceCandidate>{live});
  const FakeBackend backend(BackendKind::FileSink, kDigest);

  const auto event = dispatch(write_request(job), {snapshot, backend});
  EXPECT_EQ(std::get<HelperEvent::Result>(event.value).resolved_device, live);

  ASSERT_EQ(backend.written.size(), 1u);
  WriteJob expected = job;
  expected.target = live.identity;  // carries disk7, not the confirmed disk4
  EXPECT_EQ(backend.written[0], expected);
  EXPECT_FALSE(backend.cancel_was_set) << "each write starts with a cleared cancellation flag";
}

TEST(Dispatcher, JsonEntryAnswersEveryTextWithOneResult) {
  const FakeSnapshot snapshot(std::vector<DeviceCandidate>{});
  const FakeBackend backend(BackendKind::FileSink, kDigest);
  expect_event(dispatch_json_with_writer("", snapshot, backend),
               {false, ErrorCode::Protocol, "helper protocol error: EOF while parsing a value at line 1 column 0",
                false, false});
  expect_event(dispatch_json_with_writer(R"({"v":1,"cmd":"cancel","job":{"x":1}})", snapshot, backend),
               {false, ErrorCode::Protocol, "cancel has no in-flight job in this dispatch", false, false});
  EXPECT_EQ(snapshot.calls, 0);
}

}  // namespace
}  // namespace kelmar_vindle
