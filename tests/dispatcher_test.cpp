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
  Result<void> admit(const WriteJob& /*job*/) const override { return admitted; }
  Result<std::string> write_job(const WriteJob& job, const ImageAccess& /*image*/, const std::atomic<bool>& cancel,
                                ProgressFn& progress) const override {
    written.push_back(job);
    cancel_was_set = cancel.load();
    progress(WritePhase::of(WritePhase::Kind::Written));  // the dispatcher's sink takes and ignores every phase
    return outcome_;
  }
  Result<void> eject(const WriteJob& job) const override {
    ejected.push_back(job);
    return eject_outcome;
  }
  mutable std::vector<WriteJob> written;
  mutable std::vector<WriteJob> ejected;
  mutable bool cancel_was_set = true;
  Result<void> admitted;       // what `admit` answers
  Result<void> eject_outcome;  // what `eject` answers

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

TEST(Dispatcher, AnEjectAskedForFollowsAVerifiedWriteAndNeverFailsIt) {
  const DeviceCandidate live = stick("SER", "disk4");
  const FakeSnapshot snapshot(std::vector<DeviceCandidate>{live});
  struct Case {
    std::string_view what;
    bool asked;
    Result<std::string> written;
    Result<void> eject;
    std::optional<bool> ejected;
    std::optional<std::string> eject_error;
    std::size_t ejects;
  };
  const Error busy = Error::io("the disk is still in use");
  const Case cases[] = {
      {"ejected", true, kDigest, {}, true, std::nullopt, 1},
      {"not ejected, still ok", true, kDigest, std::unexpected(busy), false, busy.text(), 1},
      {"not asked", false, kDigest, {}, std::nullopt, std::nullopt, 0},
      {"a failed write is not ejected",
       true,
       std::unexpected(Error::make<ErrorKind::VerifyMismatch>("a", "b")),
       {},
       std::nullopt,
       std::nullopt,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBackend backend(BackendKind::LinuxRaw, c.written);
    backend.eject_outcome = c.eject;
    WriteJob job = job_for(live);
    job.eject = c.asked;
    const auto event = dispatch(write_request(job), {snapshot, backend});
    const auto& result = std::get<HelperEvent::Result>(event.value);
    EXPECT_EQ(result.ok, c.written.has_value());
    EXPECT_EQ(result.ejected, c.ejected);
    EXPECT_EQ(result.eject_error, c.eject_error);
    ASSERT_EQ(backend.ejected.size(), c.ejects);
    if (c.ejects > 0) {
      EXPECT_EQ(backend.ejected[0], backend.written[0]) << "the disk just written is ejected";
    }
  }
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

// Answers every question with `decision`, and keeps the questions and
// whether the job was still wanted when asked.
class RecordingAuthorizer final : public WriteAuthorizer {
 public:
  explicit RecordingAuthorizer(Result<void> decision) : decision_(std::move(decision)) {}
  Result<void> authorize(const WriteAuthorizationRequest& request, const StillWanted& still_wanted) const override {
    asked.push_back(request);
    wanted.push_back(still_wanted());
    return decision_;
  }
  mutable std::vector<WriteAuthorizationRequest> asked;
  mutable std::vector<bool> wanted;

 private:
  Result<void> decision_;
};

// Keeps every event; `watch` does what a transport does when its client
// went away, when told to.
class RecordingChannel final : public EventChannel {
 public:
  explicit RecordingChannel(std::atomic<bool>& cancel) : cancel_(cancel) {}
  void send(const HelperEvent& event) override { sent.push_back(event); }
  void watch() override {
    if (client_gone) cancel_.store(true);
  }
  std::vector<HelperEvent> sent;
  bool client_gone = false;

 private:
  std::atomic<bool>& cancel_;
};

const PeerProcess kPeer{4242, 987654, 1000};

TEST(Dispatcher, AWriteIsAuthorizedBeforeAnythingOfItIsOpenedOrAnnounced) {
  DeviceCandidate live = stick("SER", "disk7");
  live.identity.linux_dev_name = "sdb";
  live.size = live.identity.size = 31'000'000'000;
  WriteJob job = job_for(live);
  job.expected_size = 4096;
  const auto progress_write = [&](WriteJob j) {
    HelperRequest request = write_request(std::move(j));
    request.progress = true;
    return request;
  };
  const Result<void> granted;
  const std::string refused_text = "not authorized to write /dev/sdb";
  const std::string dismissed_text = "authorization dismissed";
  const std::string unavailable_text = "no authority answered: no system bus";
  struct Case {
    std::string_view what;
    HelperRequest request;
    Result<void> admitted;  // the backend's own refusal, before any question
    Result<void> decision;  // the authority's answer
    std::optional<PeerProcess> subject;
    Expected expected;
    bool asked;
    bool written;
  };
  const Case cases[] = {
      {"granted", progress_write(job), {}, granted, kPeer, {true, {}, {}, true, true}, true, true},
      {"not authorized",
       progress_write(job),
       {},
       std::unexpected(Error::make<ErrorKind::NotAuthorized>("/dev/sdb")),
       kPeer,
       {false, ErrorCode::NotAuthorized, refused_text, false, false},
       true,
       false},
      {"dismissed",
       progress_write(job),
       {},
       std::unexpected(Error::make<ErrorKind::AuthorizationDismissed>()),
       kPeer,
       {false, ErrorCode::NotAuthorized, dismissed_text, false, false},
       true,
       false},
      {"no authority",
       progress_write(job),
       {},
       std::unexpected(Error::make<ErrorKind::AuthorizationUnavailable>("no system bus")),
       kPeer,
       {false, ErrorCode::AuthorizationUnavailable, unavailable_text, false, false},
       true,
       false},
      {"no subject is never granted",
       progress_write(job),
       {},
       granted,
       std::nullopt,
       {false, ErrorCode::AuthorizationUnavailable, "no authority answered: the client's process is not known", false,
        false},
       false,
       false},
      {"validate is never asked about",
       validate_request(job),
       {},
       std::unexpected(Error::make<ErrorKind::NotAuthorized>("/dev/sdb")),
       kPeer,
       {true, {}, {}, true, false},
       false,
       false},
      {"a dry run is refused before asking",
       write_request([&] {
         WriteJob j = job;
         j.dry_run = true;
         return j;
       }()),
       {},
       granted,
       kPeer,
       {false, ErrorCode::Protocol, "write refused: job.dry_run is true", false, false},
       false,
       false},
      {"the backend's interlock refuses before asking",
       progress_write(job),
       std::unexpected(Error::make<ErrorKind::RejectedNotUsb>()),
       granted,
       kPeer,
       {false, ErrorCode::RejectedNotUsb, "refused: not a USB disk", false, false},
       false,
       false},
      {"the enable gate stops before asking",
       progress_write(job),
       std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>()),
       granted,
       kPeer,
       {false, ErrorCode::WriteStoppedBeforeDeviceOpen, "write prepared; raw device open is not enabled", true, false},
       false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const FakeSnapshot snapshot(std::vector<DeviceCandidate>{live});
    FakeBackend backend(BackendKind::LinuxRaw, kDigest);
    backend.admitted = c.admitted;
    const RecordingAuthorizer authorizer(c.decision);
    std::atomic<bool> cancel{false};
    RecordingChannel channel(cancel);
    const auto event = dispatch(
        c.request, {snapshot, backend, ImageAccess(), JobControl{&cancel, &channel}, {&authorizer, c.subject}});
    expect_event(event, c.expected);
    EXPECT_EQ(backend.written.size(), c.written ? 1u : 0u) << "the backend opens the image and the disk";
    if (!c.written) {
      EXPECT_TRUE(channel.sent.empty()) << "no `accepted` before the write is authorized";
    }
    ASSERT_EQ(authorizer.asked.size(), c.asked ? 1u : 0u);
    if (!c.asked) continue;
    // The question names the live disk, for the process the transport named.
    EXPECT_EQ(authorizer.asked[0], (WriteAuthorizationRequest{kPeer, "/dev/sdb", "Acme Stick, 31.0 GB, /dev/sdb"}));
    EXPECT_EQ(authorizer.wanted, std::vector<bool>{true});
  }
}

TEST(Dispatcher, AClientThatGoesAwayWhileTheAuthorityDecidesWithdrawsTheQuestion) {
  const DeviceCandidate live = stick("SER", "disk7");
  const FakeSnapshot snapshot(std::vector<DeviceCandidate>{live});
  const FakeBackend backend(BackendKind::FileSink, kDigest);
  // The authority grants, but only after the client hung up: the job does
  // not go on for nobody.
  const RecordingAuthorizer authorizer(Result<void>{});
  std::atomic<bool> cancel{false};
  RecordingChannel channel(cancel);
  channel.client_gone = true;
  const auto event = dispatch(write_request(job_for(live)),
                              {snapshot, backend, ImageAccess(), JobControl{&cancel, &channel}, {&authorizer, kPeer}});
  EXPECT_EQ(authorizer.wanted, std::vector<bool>{false}) << "the transport's watch is what the authorizer asks";
  expect_event(event, {false, ErrorCode::WriteCancelled, "write cancelled; target is incomplete", false, false});
  EXPECT_TRUE(backend.written.empty());
}

TEST(Authorization, TheQuestionNamesTheDiskPrintablyAndShort) {
  DeviceCandidate sdb = testing::usb_stick("SER", "disk4", 31'000'000'000);
  sdb.identity.linux_dev_name = "sdb";
  DeviceCandidate mac = testing::usb_stick("SER", "disk4", 999);
  DeviceCandidate nameless = testing::usb_stick("SER", "disk4", 1'500'000);
  nameless.identity.mac_bsd_name.reset();
  DeviceCandidate hostile = testing::usb_stick("SER", "disk4", 64'000'000);
  hostile.vendor = "  Evil\n\x1b[2J";
  hostile.product = std::string(100, 'x');
  DeviceCandidate blank = testing::usb_stick("SER", "disk4", 999'950'000'000);
  blank.vendor = " ";
  blank.product = "";
  struct Case {
    const DeviceCandidate& disk;
    std::string device;
    std::string drive;
  };
  const Case cases[] = {
      {sdb, "/dev/sdb", "Acme Stick, 31.0 GB, /dev/sdb"},
      {mac, "/dev/disk4", "Acme Stick, 999 B, /dev/disk4"},
      {nameless, nameless.id, "Acme Stick, 1.5 MB, " + nameless.id},
      {hostile, "/dev/disk4", "Evil??[2J " + std::string(64, 'x') + ", 64.0 MB, /dev/disk4"},
      {blank, "/dev/disk4", "1.0 TB, /dev/disk4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.drive);
    EXPECT_EQ(authorization_request(kPeer, c.disk), (WriteAuthorizationRequest{kPeer, c.device, c.drive}));
  }
}

}  // namespace
}  // namespace kelmar_vindle
