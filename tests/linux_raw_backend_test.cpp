// The Linux raw backend against a fake kernel tree, with a file or a loop
// device standing in for the stick's node.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "descriptors.hpp"
#include "devices.hpp"
#include "fake_sysfs.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "linux_mounts.hpp"
#include "linux_raw.hpp"
#include "loop_device.hpp"
#include "mount_namespace.hpp"
#include "preflight_outcome.hpp"
#include "printers.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

using Kind = WritePhase::Kind;

// Not a whole number of sectors: the last direct read is rounded up.
constexpr std::uint64_t kImageSize = 3 * 1048576 + 100;
constexpr std::uint64_t kStickSize = 4 * 1048576;

DeviceCandidate linux_stick(std::string serial, std::string name, std::uint64_t size = kStickSize) {
  DeviceCandidate stick = testing::usb_stick(std::move(serial), "disk4", size);
  stick.identity.mac_bsd_name.reset();
  stick.identity.linux_dev_name = std::move(name);
  return stick;
}

class LinuxRawBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(devices);
    sys.disk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16", kStickSize / 512,
             true);
    sys.partition("sdb", "sdb1", "8:17");
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 13 + i / 4096) & 0xFF);
    job.job_id = "linux";
    job.image_path = dir.write("image.iso", image);
    job.expected_sha256 = checksum::sha256_hex(image);
    job.expected_size = image.size();
    job.write_mode = "raw-dd-hybrid";
    job.target = stick.identity;
    testing::write_file(node, disk_before);
  }

  LinuxRawBackend backend(const DeviceSnapshot& live) const {
    // No disk utility exists: Linux targets never need one.
    // The test's own mount namespace is the system's: nothing is unmounted
    // anywhere else.
    return LinuxRawBackend(
        purchaser, live,
        {(dir.path() / "no-disk-utility").string(), devices.string(), sys.paths(), mount_namespace::kOwn});
  }

  struct Run {
    Result<std::string> result;
    std::vector<WritePhase> phases;
  };
  Run write(const DeviceSnapshot& live) const {
    std::vector<WritePhase> phases;
    ProgressFn record = [&](const WritePhase& p) { phases.push_back(p); };
    const std::atomic<bool> cancel{false};
    auto result = backend(live).write_job(job, cancel, record);
    return {std::move(result), std::move(phases)};
  }

  testing::TempDir dir;
  testing::FakeSysfs sys{dir.path()};
  const std::filesystem::path devices = dir.path() / "dev";
  const std::filesystem::path node = devices / "sdb";
  const RawBackendSettings purchaser{"", 0, true, true};
  const DeviceCandidate stick = linux_stick("STICK-A", "sdb");
  const MockEnumerator live_stick{{stick}};
  std::string image = std::string(kImageSize, '\0');
  const std::string disk_before = std::string(kStickSize, 'X');
  WriteJob job;
};

TEST_F(LinuxRawBackendTest, NodeFollowsTheNameTheTargetCarries) {
  const auto target = [&](auto change) { return changed(stick.identity, change); };
  const std::string sdb = devices.string() + "/sdb";
  struct Case {
    std::string_view what;
    DeviceIdentity target;
    PreflightOutcome outcome;
  };
  const Case cases[] = {
      {"sdb", stick.identity, sdb},
      {"sdaa", target([](auto& t) { t.linux_dev_name = "sdaa"; }), devices.string() + "/sdaa"},
      {"partition", target([](auto& t) { t.linux_dev_name = "sdb1"; }), ErrorKind::RejectedNotUsb},
      {"bare sd", target([](auto& t) { t.linux_dev_name = "sd"; }), ErrorKind::RejectedNotUsb},
      {"upper case", target([](auto& t) { t.linux_dev_name = "SDB"; }), ErrorKind::RejectedNotUsb},
      {"white space", target([](auto& t) { t.linux_dev_name = " sdb"; }), ErrorKind::RejectedNotUsb},
      {"NVMe", target([](auto& t) { t.linux_dev_name = "nvme0n1"; }), ErrorKind::RejectedNotUsb},
      {"memory card", target([](auto& t) { t.linux_dev_name = "mmcblk0"; }), ErrorKind::RejectedNotUsb},
      {"path", target([](auto& t) { t.linux_dev_name = "../sdb"; }), ErrorKind::RejectedNotUsb},
      {"the host's own name wins", target([](auto& t) { t.mac_bsd_name = "disk4"; }), sdb},
      {"only a BSD name: the macOS rules", target([](auto& t) { t.linux_dev_name.reset(), t.mac_bsd_name = "disk4"; }),
       devices.string() + "/rdisk4"},
      {"BSD name disk0", target([](auto& t) { t.linux_dev_name.reset(), t.mac_bsd_name = "disk0"; }),
       ErrorKind::RejectedSystem},
      {"no name at all", target([](auto& t) { t.linux_dev_name.reset(); }), ErrorKind::DeviceIdentityMismatch},
      {"interlock first", target([](auto& t) { t.is_system = true, t.linux_dev_name = "vda"; }),
       ErrorKind::RejectedSystem},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteJob j = job;
    j.target = c.target;
    expect_preflight(backend(live_stick).preflight(j), c.outcome);
  }
  EXPECT_EQ(backend(live_stick).kind(), BackendKind::LinuxRaw);
}

TEST_F(LinuxRawBackendTest, WritesTheImageAtOffsetZeroAndVerifiesIt) {
  const std::size_t descriptors = testing::open_descriptors();
  const auto run = write(live_stick);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().text();
  EXPECT_EQ(*run.result, job.expected_sha256);
  const std::vector<WritePhase> expected{WritePhase::of(Kind::CheckingImage),
                                         WritePhase::writing(0, kImageSize),
                                         WritePhase::writing(1048576, kImageSize),
                                         WritePhase::writing(2097152, kImageSize),
                                         WritePhase::writing(3145728, kImageSize),
                                         WritePhase::writing(kImageSize, kImageSize),
                                         WritePhase::of(Kind::Written),
                                         WritePhase::of(Kind::Verifying),
                                         WritePhase::of(Kind::Verified)};
  EXPECT_EQ(run.phases, expected);
  EXPECT_EQ(testing::read_file(node), image + disk_before.substr(kImageSize));
  EXPECT_EQ(testing::open_descriptors(), descriptors);
}

TEST_F(LinuxRawBackendTest, MountsSwapAndSwappedSticksStopTheJobBeforeAnyWrite) {
  const auto mount_point = dir.path() / "media" / "stick one";
  std::filesystem::create_directories(mount_point);
  struct Case {
    std::string_view what;
    std::function<void()> arrange;
    std::vector<DeviceCandidate> live;
    std::string failure_prefix;
  };
  const Case cases[] = {
      // Not a real mount point here, so the system call refuses to unmount it,
      // as it refuses a busy one.
      {"a partition mounted",
       [&] { sys.mounts({"8:17 " + mount_point.string() + " /dev/sdb1"}); },
       {stick},
       "I/O error: unmount " + mount_point.string() + ": "},
      {"mounted by name only",
       [&] { sys.mounts({"0:44 " + mount_point.string() + " /dev/sdb"}); },
       {stick},
       "I/O error: unmount " + mount_point.string() + ": "},
      {"a partition used as swap",
       [&] { sys.swaps({"/dev/sdb1"}); },
       {stick},
       "I/O error: unmount " + devices.string() + "/sdb1: it is an active swap area"},
      {"the stick under another name", [] {}, {linux_stick("STICK-A", "sdc")}, "device identity does not match"},
      {"another stick under the same name", [] {}, {linux_stick("STICK-B", "sdb")}, "device identity does not match"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sys.mounts({});
    sys.swaps({});
    c.arrange();
    const MockEnumerator live(c.live);
    const auto run = write(live);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_TRUE(run.result.error().text().starts_with(c.failure_prefix)) << run.result.error().text();
    EXPECT_EQ(run.phases, std::vector<WritePhase>{WritePhase::of(Kind::CheckingImage)});
    EXPECT_EQ(testing::read_file(node), disk_before);
  }
  // Mounts of other disks are left alone.
  sys.mounts({"8:1 / /dev/sda1", "8:33 /media/other /dev/sdc1"});
  EXPECT_TRUE(write(live_stick).result.has_value());
}

TEST_F(LinuxRawBackendTest, AStreamIsWrittenFirstMebibyteLastAndZeroedThereOnFailure) {
  const std::string zeros(1048576, '\0');
  const struct {
    std::string_view what;
    std::string streamed;  // what the pipe carries; the job names `image`
    bool ok;
  } cases[] = {
      {"the stream the job names", image, true},
      {"a stream whose digest differs", std::string(image).replace(2 * 1048576, 1, "!"), false},
      {"a stream that ends early", image.substr(0, image.size() - 1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::write_file(node, disk_before);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    UniqueFd read_end(ends[0]);
    std::thread feeder(
        [&, write_end = UniqueFd(ends[1])] { static_cast<void>(write_all(write_end.get(), c.streamed)); });
    std::vector<WritePhase> phases;
    ProgressFn record = [&](const WritePhase& p) { phases.push_back(p); };
    const std::atomic<bool> cancel{false};
    const auto result = backend(live_stick).write_job(job, ImageAccess(Client::root(), read_end.get()), cancel, record);
    feeder.join();
    const std::string disk = testing::read_file(node);
    if (c.ok) {
      ASSERT_TRUE(result.has_value()) << result.error().text();
      EXPECT_EQ(*result, job.expected_sha256);
      EXPECT_EQ(disk, image + disk_before.substr(kImageSize));
      EXPECT_EQ(phases.at(1), WritePhase::writing(0, 0)) << "a stream's length is not known up front";
      EXPECT_EQ(phases.back(), WritePhase::of(Kind::Verified));
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(disk.substr(0, zeros.size()), zeros) << "no partition table left to half-written data";
      EXPECT_EQ(disk.substr(zeros.size(), 1048576), image.substr(zeros.size(), 1048576)) << "the rest was written";
    }
  }
}

TEST_F(LinuxRawBackendTest, RealBlockDeviceIsOpenedExclusivelyAndReadBackDirectly) {
  const auto backing = dir.write("stick.img", disk_before);
  const testing::LoopDevice loop(backing);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
  std::filesystem::remove(node);
  std::filesystem::create_symlink(loop.path(), node);

  const auto run = write(live_stick);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().text();
  EXPECT_EQ(*run.result, job.expected_sha256);
  EXPECT_EQ(testing::read_file(backing), image + disk_before.substr(kImageSize));

  // Anyone else holding the disk exclusively (a mounted file system does)
  // keeps the backend out.
  {
    const UniqueFd holder(::open(loop.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(write(live_stick).result.error(),
              Error::io("open " + node.string() + ": Device or resource busy (os error 16)"));
  }

  // A device of another size than the confirmed disk is not that disk.
  const DeviceCandidate larger = linux_stick("STICK-A", "sdb", 2 * kStickSize);
  const MockEnumerator live_larger{{larger}};
  job.target = larger.identity;
  EXPECT_EQ(write(live_larger).result.error().kind(), ErrorKind::DeviceIdentityMismatch);
}

TEST(StorageDigest, HashesExactlyTheCountAndReportsAShortNode) {
  testing::TempDir dir;
  std::string bytes(5 * 1048576 + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  const auto file = dir.write("node", bytes).string();
  struct Case {
    std::uint64_t count;
    Result<std::string> digest;
  };
  const Case cases[] = {
      {bytes.size(), checksum::sha256_hex(bytes)},
      {1048576, checksum::sha256_hex(bytes.substr(0, 1048576))},
      {4 * 1048576 + 1, checksum::sha256_hex(bytes.substr(0, 4 * 1048576 + 1))},
      {0, checksum::sha256_hex("")},
      {bytes.size() + 1, std::unexpected(Error::make<ErrorKind::SizeMismatch>(bytes.size() + 1, bytes.size()))},
      {64 * 1048576, std::unexpected(Error::make<ErrorKind::SizeMismatch>(64 * 1048576, bytes.size()))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sha256_from_storage(file, c.count), c.digest) << c.count;
  }
  EXPECT_EQ(sha256_from_storage((dir.path() / "missing").string(), 1).error(),
            Error::io("No such file or directory (os error 2)"));
}

TEST(LinuxMounts, SwapsAndPartitions) {
  testing::TempDir dir;
  testing::FakeSysfs sys{dir.path()};
  sys.swaps({"/dev/nonexistent-sdx2"});
  testing::write_file(sys.paths().swaps, testing::read_file(sys.paths().swaps) +
                                             "/swapfile                               file\t1048572\t0\t-3\n");
  EXPECT_EQ(linux_mounts::active_swap_names(sys.paths().swaps).value(), std::vector<std::string>{"nonexistent-sdx2"});

  sys.disk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16", 8, true);
  sys.partition("sdb", "sdb2", "8:18");
  sys.partition("sdb", "sdb1", "8:17");
  const auto nodes = linux_mounts::disk_nodes(sys.paths(), "sdb");
  ASSERT_TRUE(nodes) << nodes.error().text();
  std::vector<std::string> names;
  for (const auto& node : *nodes) names.push_back(node.name + "=" + node.device_number);
  EXPECT_EQ(names, (std::vector<std::string>{"sdb=8:16", "sdb1=8:17", "sdb2=8:18"}));
  EXPECT_FALSE(linux_mounts::disk_nodes(sys.paths(), "sdq"));
}

}  // namespace
}  // namespace kelmar_vindle::helper
