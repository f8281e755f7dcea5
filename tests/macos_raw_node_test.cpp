// The macOS raw backend as a Mac runs it: its disk ioctls compiled against
// the simulated sys/disk.h, its node held to the rules of the platform's raw
// disk nodes (platform_sim/raw_node.h: whole blocks only, DKIOCSYNCHRONIZE
// with its argument), its DiskArbitration hold against the simulated daemon
// (platform_sim/control.hpp).
#include <DiskArbitration/DiskArbitration.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "devices.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "macos_raw.hpp"
#include "platform_sim/control.hpp"
#include "platform_sim/raw_node.h"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kDiskSize = 8 * kMiB;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + i / 4099) & 0xFF);
  return bytes;
}

// The node's bytes, read as the node takes them: whole blocks.
std::string node_bytes(const std::filesystem::path& node) {
  std::string bytes(kDiskSize, '\0');
  const UniqueFd fd(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || ::pread(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return {};
  return bytes;
}

// One stick of `kDiskSize` bytes whose raw node has the parameter's block size.
class MacosRawNode : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(devices);
    testing::write_file(dir.path() / "diskutil", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(dir.path() / "diskutil", std::filesystem::perms::owner_all);
    fresh_node();
  }
  // The node as the stick held it before any write: a new file, registered.
  void fresh_node() const {
    raw_node_sim_reset();
    std::filesystem::remove(node);
    testing::write_file(node, disk_before);
    ASSERT_EQ(raw_node_sim_add(node.c_str(), GetParam()), 0);
  }
  void TearDown() override {
    raw_node_sim_reset();
    platform_sim::reset();
  }

  Result<std::string> write(const std::string& image, const std::function<void()>& while_writing = {},
                            const std::atomic<bool>& cancel = std::atomic<bool>{false}) const {
    const auto image_path = dir.write("image.iso", image);
    WriteJob job;
    job.job_id = "raw";
    job.image_path = image_path;
    job.expected_sha256 = checksum::sha256_hex(image);
    job.expected_size = image.size();
    job.write_mode = "raw-dd-hybrid";
    job.target = stick.identity;
    const MacosRawBackend backend({"", 0, true, true}, live, {(dir.path() / "diskutil").string(), devices.string()});
    ProgressFn progress = [&](const WritePhase& phase) {
      if (phase.kind == WritePhase::Kind::Writing && phase.bytes_done > 0 && while_writing) while_writing();
    };
    return backend.write_job(job, cancel, progress);
  }

  testing::TempDir dir;
  const std::filesystem::path devices = dir.path() / "dev";
  const std::filesystem::path node = devices / "rdisk4";
  const std::string disk_before = std::string(kDiskSize, 'X');
  const DeviceCandidate stick = testing::usb_stick("PURCHASED", "disk4", kDiskSize);
  const MockEnumerator live{{stick}};
};

// An image whose length is no multiple of the block size ends in a block
// the image covers only in part: the disk's bytes after the image stay.
TEST_P(MacosRawNode, ImagesOfAnyLengthAreWrittenAndVerifiedInWholeBlocks) {
  for (const std::uint64_t length : {3 * kMiB + 17, 3 * kMiB, std::uint64_t{17}, kMiB - 1}) {
    SCOPED_TRACE(length);
    fresh_node();
    const std::string image = patterned(length);
    const auto written = write(image);
    ASSERT_TRUE(written.has_value()) << written.error().text();
    EXPECT_EQ(*written, checksum::sha256_hex(image));
    EXPECT_TRUE(node_bytes(node) == image + disk_before.substr(length)) << "the image, then the bytes that were there";
    EXPECT_EQ(raw_node_sim_refused(node.c_str()), 0) << "no transfer of part of a block was tried";
  }
}

// The job reports the image written only once the drive was told, with a
// valid request, to put its cache on the medium.
TEST_P(MacosRawNode, TheDrivesCacheIsSynchronizedBeforeTheReadBack) {
  const std::string image = patterned(2 * kMiB);
  const auto written = write(image);
  ASSERT_TRUE(written.has_value()) << written.error().text();
  EXPECT_EQ(raw_node_sim_unsynchronized(node.c_str()), 0) << "bytes written since the last synchronization";
}

// Whether anyone may take the node's lock now, as another program opening
// it with O_EXLOCK would.
bool node_is_free(const std::filesystem::path& node) {
  const UniqueFd other(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
  return other.valid() && ::flock(other.get(), LOCK_EX | LOCK_NB) == 0;
}

// Nothing else may hold the disk while the image goes onto it: a disk held
// elsewhere is not written at all, and the hold ends with the job.
TEST_P(MacosRawNode, TheDiskIsHeldExclusivelyWhileItIsWritten) {
  const std::string image = patterned(kMiB + 17);
  {
    const UniqueFd holder(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    const auto refused = write(image);
    ASSERT_FALSE(refused.has_value()) << "written while another program held the disk";
    EXPECT_EQ(refused.error().text(),
              "I/O error: open " + node.string() + ": Resource temporarily unavailable (os error 11)");
    EXPECT_TRUE(node_bytes(node) == disk_before) << "nothing was written";
  }
  std::vector<bool> free_while_writing;
  const auto written = write(image, [&] { free_while_writing.push_back(node_is_free(node)); });
  ASSERT_TRUE(written.has_value()) << written.error().text();
  EXPECT_FALSE(free_while_writing.empty());
  EXPECT_EQ(std::count(free_while_writing.begin(), free_while_writing.end(), true), 0) << "held while written";
  EXPECT_TRUE(node_is_free(node)) << "released once the job ended";
}

// What another program meets when it mounts a volume of the stick or
// claims it through DiskArbitration; none: it got it.
struct OthersMeet {
  std::optional<platform_sim::Refusal> mount;
  std::optional<platform_sim::Refusal> claim;
};
OthersMeet others_try(const std::string& volume) {
  return {platform_sim::attempt_mount(volume), platform_sim::attempt_claim("disk4")};
}

const platform_sim::Refusal kHeldByTheWrite{kDAReturnExclusiveAccess, "kelmar_vindle_helper is writing this disk"};

// A new partition table makes the system mount the stick's new volumes, and
// another writer may claim the stick: neither while the helper unmounts,
// writes, flushes and reads it back; both once the job is over.
TEST_P(MacosRawNode, NoOtherProgramMountsOrClaimsTheDiskWhileItIsWritten) {
  std::vector<OthersMeet> while_writing;
  std::vector<std::optional<platform_sim::Refusal>> other_disk;
  const auto written = write(patterned(2 * kMiB), [&] {
    while_writing.push_back(others_try("disk4s" + std::to_string(while_writing.size() + 1)));
    other_disk.push_back(platform_sim::attempt_mount("disk5s" + std::to_string(other_disk.size() + 1)));
  });
  ASSERT_TRUE(written.has_value()) << written.error().text();
  ASSERT_FALSE(while_writing.empty());
  for (const auto& met : while_writing) {
    EXPECT_EQ(met.mount, kHeldByTheWrite) << "a volume of the stick was mounted during the write";
    EXPECT_EQ(met.claim, kHeldByTheWrite) << "the stick was claimed during the write";
  }
  for (const auto& met : other_disk)
    EXPECT_EQ(met, std::nullopt) << "another disk's volume is none of the write's business";
  const auto after = others_try("disk4s1");
  EXPECT_EQ(after.mount, std::nullopt) << "still refused after the job";
  EXPECT_EQ(after.claim, std::nullopt) << "still claimed after the job";
  EXPECT_EQ(platform_sim::live_objects(), 0u) << "a session, disk or dissenter left unreleased";
}

// However the job ends, the claim and the veto end with it.
TEST_P(MacosRawNode, TheHoldEndsOnEveryPathOutOfTheJob) {
  const std::string image = patterned(kMiB + 512);
  const std::filesystem::path utility = dir.path() / "diskutil";
  struct Case {
    const char* name;
    std::function<Result<std::string>()> run;
    std::string error;
  };
  std::atomic<bool> cancel{false};
  std::optional<UniqueFd> holder;
  const std::vector<Case> cases = {
      {"the unmount fails",
       [&] {
         testing::write_file(utility,
                             "#!/bin/sh\necho 'Unmount of disk4 failed: at least one volume could not be "
                             "unmounted' >&2\nexit 1\n");
         return write(image);
       },
       "I/O error: unmountDisk failed: Unmount of disk4 failed: at least one volume could not be unmounted\n"},
      {"another program holds the node",
       [&] {
         holder.emplace(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
         EXPECT_EQ(::flock(holder->get(), LOCK_EX | LOCK_NB), 0);
         return write(image);
       },
       "I/O error: open " + node.string() + ": Resource temporarily unavailable (os error 11)"},
      {"the job is cancelled",
       [&] {
         return write(
             image, [&] { cancel = true; }, cancel);
       },
       "write cancelled; target is incomplete"},
      {"the read-back differs",
       [&] {
         return write(image, [&] {
           const UniqueFd other(::open(node.c_str(), O_WRONLY | O_CLOEXEC));
           const std::string changed(GetParam(), 'Z');
           EXPECT_EQ(::pwrite(other.get(), changed.data(), changed.size(), 0), static_cast<ssize_t>(changed.size()));
         });
       },
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_node();
    std::filesystem::permissions(utility, std::filesystem::perms::owner_all);
    cancel = false;
    const auto failed = c.run();
    holder.reset();
    testing::write_file(utility, "#!/bin/sh\nexit 0\n");
    ASSERT_FALSE(failed.has_value());
    if (!c.error.empty()) {
      EXPECT_EQ(failed.error().text(), c.error);
    }
    const auto after = others_try("disk4s1");
    EXPECT_EQ(after.mount, std::nullopt) << "a mount is still refused";
    EXPECT_EQ(after.claim, std::nullopt) << "the stick is still claimed";
    EXPECT_EQ(platform_sim::live_objects(), 0u) << "a session, disk or dissenter left unreleased";
    platform_sim::reset();
  }
}

// A stick another program has claimed is not touched: the job ends before
// the disk utility unmounts anything.
TEST_P(MacosRawNode, AStickClaimedByAnotherProgramIsNotUnmounted) {
  const std::filesystem::path ran = dir.path() / "unmounted";
  testing::write_file(dir.path() / "diskutil", "#!/bin/sh\ntouch '" + ran.string() + "'\n");
  ASSERT_EQ(platform_sim::attempt_claim("disk4"), std::nullopt);
  const auto refused = write(patterned(kMiB));
  ASSERT_FALSE(refused.has_value()) << "written while another program claimed the stick";
  EXPECT_EQ(refused.error().text(), "I/O error: disk4 is claimed by another program: not permitted");
  EXPECT_FALSE(std::filesystem::exists(ran)) << "the disk utility unmounted the stick";
  EXPECT_TRUE(node_bytes(node) == disk_before) << "nothing was written";
  EXPECT_EQ(platform_sim::live_objects(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, MacosRawNode, ::testing::Values(512u, 4096u));

}  // namespace
}  // namespace kelmar_vindle::helper
