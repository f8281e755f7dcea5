// The raw disk backend against a fake disk utility and files (or real
// devices) standing in for raw nodes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "descriptors.hpp"
#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "loop_device.hpp"
#include "macos_raw.hpp"
#include "preflight_outcome.hpp"
#include "printers.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

using testing::TempDir;
using Kind = WritePhase::Kind;

constexpr std::uint64_t kImageSize = 3 * 1048576;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 1000) & 0xFF);
  return bytes;
}

class RawBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(devices);
    image_path = dir.write("image.iso", image);
    set_utility("exit 0");
    job.job_id = "raw";
    job.image_path = image_path;
    job.expected_sha256 = checksum::sha256_hex(image);
    job.expected_size = image.size();
    job.write_mode = "raw-dd-hybrid";
    job.target = test_stick.identity;
    raw_node = devices / "rdisk4";
    testing::write_file(raw_node, disk_before);
  }

  // The fake disk utility: logs its arguments, then runs `body`.
  void set_utility(const std::string& body) {
    const auto script = dir.path() / "diskutil";
    testing::write_file(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + log.string() + "'\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  }

  MacosRawBackend backend(RawBackendSettings settings, const DeviceSnapshot& live) const {
    return MacosRawBackend(std::move(settings), live, {(dir.path() / "diskutil").string(), devices.string()});
  }

  struct Run {
    Result<std::string> result;
    std::vector<WritePhase> phases;
  };
  Run write(const MacosRawBackend& raw, bool cancelled = false) const {
    std::vector<WritePhase> phases;
    ProgressFn record = [&](const WritePhase& p) { phases.push_back(p); };
    const std::atomic<bool> cancel{cancelled};
    auto result = raw.write_job(job, cancel, record);
    return {std::move(result), std::move(phases)};
  }

  bool utility_ran() const { return std::filesystem::exists(log); }

  TempDir dir;
  const std::filesystem::path devices = dir.path() / "dev";
  const std::filesystem::path log = dir.path() / "utility.log";
  const std::string image = patterned(kImageSize);
  const std::string disk_before = std::string(4 * 1048576, 'X');
  const DeviceCandidate test_stick = testing::usb_stick("5B3E91D0A7C4F268", "disk4", 8009023488);
  const MockEnumerator live_test_stick{{test_stick}};
  std::filesystem::path image_path;
  std::filesystem::path raw_node;
  WriteJob job;
};

TEST_F(RawBackend, InterlockTable) {
  const auto target = [&](auto change) { return changed(test_stick.identity, change); };
  const RawBackendSettings test_rule = RawBackendSettings::test_device(true);
  const RawBackendSettings purchaser_open{"", 0, true, true};
  const RawBackendSettings purchaser_pinned{"AB12", 1000, true, true};
  const std::string rdisk4 = devices.string() + "/rdisk4";
  struct Case {
    std::string_view what;
    RawBackendSettings settings;
    DeviceIdentity target;
    PreflightOutcome outcome;
  };
  const Case cases[] = {
      {"test device", test_rule, test_stick.identity, rdisk4},
      {"test serial, other size", test_rule, target([](auto& t) { t.size = 8009023489; }),
       ErrorKind::DeviceIdentityMismatch},
      {"test serial in lower case", test_rule, target([](auto& t) { t.serial = "5b3e91d0a7c4f268"; }),
       ErrorKind::DeviceIdentityMismatch},
      {"test rule without an expected serial",
       {"", kTestDeviceSize, false, true},
       test_stick.identity,
       ErrorKind::DeviceIdentityMismatch},
      {"test rule with another expected size",
       {std::string(kTestDeviceSerial), 5, false, true},
       test_stick.identity,
       ErrorKind::DeviceIdentityMismatch},
      {"another serial under the test rule",
       {"OTHER", kTestDeviceSize, false, true},
       target([](auto& t) { t.serial = "OTHER"; }),
       ErrorKind::DeviceIdentityMismatch},
      {"refused serial, test rule", test_rule, target([](auto& t) { t.serial = "482906735115"; }),
       ErrorKind::DeviceIdentityMismatch},
      {"refused serial, purchaser", purchaser_open, target([](auto& t) { t.serial = "482906735115"; }),
       ErrorKind::DeviceIdentityMismatch},
      {"empty serial, test rule", test_rule, target([](auto& t) { t.serial = ""; }), ErrorKind::DeviceIdentityMismatch},
      {"empty serial, purchaser", purchaser_open, target([](auto& t) { t.serial = ""; }),
       ErrorKind::DeviceIdentityMismatch},
      {"purchaser, any stick", purchaser_open, target([](auto& t) { t.serial = "ANY", t.size = 1; }), rdisk4},
      {"purchaser, size 0", purchaser_open, target([](auto& t) { t.size = 0; }), ErrorKind::DeviceIdentityMismatch},
      {"purchaser pinned", purchaser_pinned, target([](auto& t) { t.serial = "AB12", t.size = 1000; }), rdisk4},
      {"purchaser pinned, serial case", purchaser_pinned, target([](auto& t) { t.serial = "ab12", t.size = 1000; }),
       ErrorKind::DeviceIdentityMismatch},
      {"purchaser pinned, size", purchaser_pinned, target([](auto& t) { t.serial = "AB12", t.size = 999; }),
       ErrorKind::DeviceIdentityMismatch},
      {"system disk first", test_rule, target([](auto& t) { t.is_system = true, t.serial = "482906735115"; }),
       ErrorKind::RejectedSystem},
      {"not USB", test_rule, target([](auto& t) { t.bus = Bus::Sata; }), ErrorKind::RejectedNotUsb},
      {"no BSD name", test_rule, target([](auto& t) { t.mac_bsd_name.reset(); }), ErrorKind::DeviceIdentityMismatch},
      {"BSD name with white space", test_rule, target([](auto& t) { t.mac_bsd_name = " disk4\n"; }), rdisk4},
      {"disk00", test_rule, target([](auto& t) { t.mac_bsd_name = "disk00"; }), devices.string() + "/rdisk00"},
      {"disk0 is the boot disk", test_rule, target([](auto& t) { t.mac_bsd_name = "disk0"; }),
       ErrorKind::RejectedSystem},
      {"partition", test_rule, target([](auto& t) { t.mac_bsd_name = "disk4s1"; }), ErrorKind::RejectedNotUsb},
      {"bare disk", test_rule, target([](auto& t) { t.mac_bsd_name = "disk"; }), ErrorKind::RejectedNotUsb},
      {"Disk4", test_rule, target([](auto& t) { t.mac_bsd_name = "Disk4"; }), ErrorKind::RejectedNotUsb},
      {"sda", test_rule, target([](auto& t) { t.mac_bsd_name = "sda"; }), ErrorKind::RejectedNotUsb},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteJob j = job;
    j.target = c.target;
    expect_preflight(backend(c.settings, live_test_stick).preflight(j), c.outcome);
  }
}

TEST_F(RawBackend, WithoutRealWritesNothingIsHashedReportedOrRun) {
  job.image_path = dir.path() / "never-read.iso";
  auto run = write(backend(RawBackendSettings::test_device(false), live_test_stick));
  EXPECT_EQ(run.result.error(), Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());
  EXPECT_TRUE(run.phases.empty());
  EXPECT_FALSE(utility_ran());

  job.target.serial = "OTHER";  // an ineligible target gets the interlock's answer instead
  run = write(backend(RawBackendSettings::test_device(false), live_test_stick));
  EXPECT_EQ(run.result.error().kind(), ErrorKind::DeviceIdentityMismatch);
  EXPECT_EQ(testing::read_file(raw_node), disk_before);
}

TEST_F(RawBackend, WritesTheImageAtOffsetZeroAndVerifiesIt) {
  const std::size_t descriptors = testing::open_descriptors();
  const auto run = write(backend(RawBackendSettings::test_device(true), live_test_stick));
  ASSERT_TRUE(run.result.has_value()) << run.result.error().text();
  EXPECT_EQ(*run.result, checksum::sha256_hex(image));
  const std::vector<WritePhase> expected{WritePhase::of(Kind::CheckingImage),
                                         WritePhase::writing(0, kImageSize),
                                         WritePhase::writing(1048576, kImageSize),
                                         WritePhase::writing(2097152, kImageSize),
                                         WritePhase::writing(kImageSize, kImageSize),
                                         WritePhase::of(Kind::Written),
                                         WritePhase::of(Kind::Verifying),
                                         WritePhase::of(Kind::Verified)};
  EXPECT_EQ(run.phases, expected);
  EXPECT_EQ(testing::read_file(raw_node), image + disk_before.substr(kImageSize)) << "bytes after the image stay";
  EXPECT_EQ(testing::read_file(log), "unmountDisk\nforce\n" + devices.string() + "/disk4\n");
  EXPECT_EQ(testing::open_descriptors(), descriptors);
}

TEST_F(RawBackend, UnmountFailuresLeaveTheDeviceUntouched) {
  struct Case {
    std::string body;
    std::string failure;
  };
  const Case cases[] = {
      {"echo 'Unmount of disk4 failed: at least one volume could not be unmounted' >&2; exit 1",
       "I/O error: unmountDisk failed: Unmount of disk4 failed: at least one volume could not be unmounted\n"},
      {"printf 'bad \\377 byte' >&2; exit 3", "I/O error: unmountDisk failed: bad \xEF\xBF\xBD byte"},
      {"kill -KILL $$", "I/O error: unmountDisk failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    set_utility(c.body);
    const auto run = write(backend(RawBackendSettings::test_device(true), live_test_stick));
    EXPECT_EQ(run.result.error().text(), c.failure);
    EXPECT_EQ(run.phases, std::vector<WritePhase>{WritePhase::of(Kind::CheckingImage)});
    EXPECT_EQ(testing::read_file(raw_node), disk_before);
  }

  // A host without the disk utility fails cleanly at the unmount step.
  auto raw = MacosRawBackend(RawBackendSettings::test_device(true), live_test_stick,
                             {(dir.path() / "no-such-utility").string(), devices.string()});
  EXPECT_EQ(write(raw).result.error(), Error::io("No such file or directory (os error 2)"));
  EXPECT_EQ(testing::read_file(raw_node), disk_before);
}

TEST_F(RawBackend, TalkativeUtilityDoesNotDeadlock) {
  set_utility("head -c 1048576 /dev/zero; head -c 1048576 /dev/zero >&2; exit 0");
  EXPECT_TRUE(write(backend(RawBackendSettings::test_device(true), live_test_stick)).result.has_value());
}

TEST_F(RawBackend, DiskSwappedBeforeTheUnmountIsRefused) {
  struct Case {
    std::string_view what;
    std::vector<DeviceCandidate> live;
  };
  const Case cases[] = {
      {"another stick under the same name", {testing::usb_stick("OTHER", "disk4", 8009023488)}},
      {"the stick under another name", {testing::usb_stick("5B3E91D0A7C4F268", "disk5", 8009023488)}},
      {"the stick gone", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const MockEnumerator swapped(c.live);
    const auto run = write(backend(RawBackendSettings::test_device(true), swapped));
    ASSERT_FALSE(run.result.has_value());
    EXPECT_NE(run.result.error().code(), ErrorCode::Protocol) << run.result.error().text();
    EXPECT_FALSE(utility_ran());
    EXPECT_EQ(testing::read_file(raw_node), disk_before);
  }
}

TEST_F(RawBackend, DevicesThatLoseOrShortenTheImageFailVerification) {
  struct Case {
    std::filesystem::path device;
    Error failure;
  };
  // Both refuse fsync with EINVAL, which does not fail the job.
  const Case cases[] = {
      {"/dev/null", Error::make<ErrorKind::SizeMismatch>(kImageSize, 0)},
      {"/dev/zero", Error::make<ErrorKind::VerifyMismatch>(checksum::sha256_hex(image),
                                                           checksum::sha256_hex(std::string(kImageSize, '\0')))},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(raw_node);
    std::filesystem::create_symlink(c.device, raw_node);
    const auto run = write(backend(RawBackendSettings::test_device(true), live_test_stick));
    EXPECT_EQ(run.result.error(), c.failure) << c.device;
    EXPECT_EQ(run.phases.back(), WritePhase::of(Kind::Verifying));
  }
}

TEST_F(RawBackend, CancellationStopsBeforeTheFirstChunk) {
  const auto run = write(backend(RawBackendSettings::test_device(true), live_test_stick), /*cancelled=*/true);
  EXPECT_EQ(run.result.error(), Error::make<ErrorKind::WriteCancelled>());
  const std::vector<WritePhase> expected{WritePhase::of(Kind::CheckingImage), WritePhase::writing(0, kImageSize),
                                         WritePhase::of(Kind::Cancelled)};
  EXPECT_EQ(run.phases, expected);
  EXPECT_EQ(testing::read_file(raw_node), disk_before);
}

TEST_F(RawBackend, DeviceOfAnotherSizeThanTheTargetIsNotWritten) {
  const auto backing = dir.write("stick.img", std::string(4 * 1048576, 'X'));
  const testing::LoopDevice loop(backing);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
  std::filesystem::remove(raw_node);
  std::filesystem::create_symlink(loop.path(), raw_node);

  const RawBackendSettings purchaser{"", 0, true, true};
  const DeviceCandidate stick = testing::usb_stick("PURCHASED", "disk4", 4 * 1048576);
  const MockEnumerator live{{stick}};
  job.target = stick.identity;
  const auto run = write(backend(purchaser, live));
  ASSERT_TRUE(run.result.has_value()) << run.result.error().text();
  EXPECT_EQ(testing::read_file(backing).substr(0, kImageSize), image);

  const DeviceCandidate larger = testing::usb_stick("PURCHASED", "disk4", 8 * 1048576);
  const MockEnumerator live_larger{{larger}};
  job.target = larger.identity;
  EXPECT_EQ(write(backend(purchaser, live_larger)).result.error().kind(), ErrorKind::DeviceIdentityMismatch);
}

}  // namespace
}  // namespace kelmar_vindle::helper
