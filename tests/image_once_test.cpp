// The image of a write job is opened once and its length judged before a
// byte of it is read: what is copied is the file that was checked, whatever
// happens to its path meanwhile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "devices.hpp"
#include "file_watch.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"
#include "kelmar_vindle/write.hpp"
#include "kelmar_vindle/write/checked_image.hpp"
#include "printers.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::FileWatch;
using testing::TempDir;

constexpr std::string_view kTestSerial = "5B3E91D0A7C4F268";
constexpr std::uint64_t kTestSize = 8009023488;

std::string patterned(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 31 + i / 4096 + static_cast<std::size_t>(seed)) % 251);
  return bytes;
}

json::Value reply_of(const testing::ProcessResult& result) {
  EXPECT_EQ(result.exit_status, 0) << result.err;
  auto reply = json::parse(result.out, json::DuplicateMembers::LastWins);
  EXPECT_TRUE(reply.has_value()) << result.out;
  return reply.value_or(json::Value::object());
}

TEST(ImageCheck, AWrongLengthIsToldWithoutReadingTheImage) {
  TempDir dir;
  const auto image = dir.path() / "huge.iso";
  constexpr std::uint64_t kFourTebibytes = std::uint64_t{4} << 40;
  {
    UniqueFd fd(::open(image.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    if (::ftruncate(fd.get(), static_cast<off_t>(kFourTebibytes)) != 0) {
      GTEST_SKIP() << "this file system holds no sparse file of 4 TiB";
    }
  }
  const std::string digest(64, 'a');
  const Error wrong_length = Error::make<ErrorKind::SizeMismatch>(1, kFourTebibytes);

  FileWatch watch(image);
  EXPECT_EQ(write::check_image(image, digest, 1).error(), wrong_length);
  auto seen = watch.take();
  EXPECT_EQ(seen.opens, 1);
  EXPECT_EQ(seen.reads, 0) << "the length comes from the metadata";

  // The sink refuses it the same way, before the sink is touched.
  const MockFileBackend sink(dir.path() / "sink.img");
  WriteJob job;
  job.image_path = image;
  job.expected_sha256 = digest;
  job.expected_size = 1;
  const std::atomic<bool> cancel{false};
  ProgressFn ignore = [](const WritePhase&) {};
  EXPECT_EQ(sink.write_job(job, cancel, ignore).error(), wrong_length);
  seen = watch.take();
  EXPECT_EQ(seen.opens, 1);
  EXPECT_EQ(seen.reads, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "sink.img"));
}

TEST(ImageCheck, TheHeldImageIsJudgedUnchangedOrChanged) {
  TempDir dir;
  const std::string image = patterned(200'000, 1);
  const std::string other = patterned(image.size(), 2);
  struct Case {
    std::string_view what;
    std::function<void(const std::filesystem::path&)> meanwhile;
    bool unchanged;
  };
  const Case cases[] = {
      {"left alone", [](const auto&) {}, true},
      // The held file is still the checked one; the path names another now.
      {"its path pointed at another file",
       [&](const auto& path) {
         const auto swapped = dir.write("other.iso", other);
         std::filesystem::remove(path);
         std::filesystem::create_symlink(swapped, path);
       },
       true},
      {"rewritten in place, same length", [&](const auto& path) { testing::write_file(path, other); }, false},
      {"grown", [&](const auto& path) { testing::write_file(path, image + "x"); }, false},
      {"shrunk", [&](const auto& path) { std::filesystem::resize_file(path, 1000); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto held = dir.write("held.iso", image);
    testing::age(held);
    const auto path = dir.path() / "image.iso";
    std::filesystem::remove(path);
    std::filesystem::create_symlink(held, path);
    auto checked = write::open_checked_image(path, checksum::sha256_hex(image), image.size(), ImageAccess());
    ASSERT_TRUE(checked.has_value()) << checked.error().text();
    c.meanwhile(path);
    const auto verdict = checked->check_unchanged();
    if (c.unchanged) {
      EXPECT_TRUE(verdict.has_value());
      // And reading on gives the checked bytes from the start.
      std::string read_back(image.size(), '\0');
      ASSERT_EQ(::read(checked->fd(), read_back.data(), read_back.size()), static_cast<ssize_t>(image.size()));
      EXPECT_EQ(read_back, image);
    } else {
      ASSERT_FALSE(verdict.has_value());
      EXPECT_EQ(verdict.error(), Error::io("image changed after it was checked"));
    }
  }
}

class ImageThroughTheBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    image_path = dir.write("image.iso", image);
    fixture = dir.write("devices.json", testing::mock_list_text({stick}));
  }

  TempDir dir;
  const std::string image = patterned(3 * 1048576 + 17, 3);
  const DeviceCandidate stick = testing::usb_stick(std::string(kTestSerial), "disk4", kTestSize);
  std::filesystem::path image_path;
  std::filesystem::path fixture;
};

TEST_F(ImageThroughTheBinary, TheSinkOpensTheImageOnce) {
  const auto sink = dir.path() / "sink.img";
  FileWatch watch(image_path);
  const auto reply = reply_of(
      testing::run_helper({.args = {"--fixture", fixture.string(), "--sink", sink.string()},
                           .stdin_text = testing::request_line("write", image_path.string(), image, stick.identity)}));
  EXPECT_EQ(reply.value("ok", json::Value()), true) << reply.dump();
  EXPECT_EQ(watch.take().opens, 1);
  EXPECT_EQ(testing::read_file(sink), image);
}

TEST_F(ImageThroughTheBinary, TheRawBackendCopiesTheCheckedFileWhenItsPathIsSwapped) {
  if (!testing::private_mount_namespace_available()) {
    GTEST_SKIP() << "needs root and a private mount namespace (unshare --mount), which this machine refuses";
  }
  // While the disk is unmounted, the path is pointed at another image of the
  // same length: the helper copies the file it checked, from the descriptor
  // it holds.
  const auto checked = image_path;
  image_path = dir.path() / "installer.iso";
  std::filesystem::create_symlink(checked, image_path);
  const auto other = dir.write("other.iso", patterned(image.size(), 4));
  const auto node_file = dir.write("stick.img", std::string(4 * 1048576, 'X'));
  const auto utility =
      dir.write("diskutil", "#!/bin/sh\nln -sfn '" + other.string() + "' '" + image_path.string() + "'\nexit 0\n");
  std::filesystem::permissions(utility, std::filesystem::perms::owner_all);

  FileWatch watch(checked);
  const auto reply = reply_of(testing::run_helper_with_fake_disk(
      utility.string(), "ln -s '" + node_file.string() + "' /dev/rdisk4",
      {"--fixture", fixture.string(), "--allow-real-write", "--expect-serial", std::string(kTestSerial)},
      testing::request_line("write", image_path.string(), image, stick.identity)));
  EXPECT_EQ(reply.value("ok", json::Value()), true) << reply.dump();
  EXPECT_EQ(reply.value("usb_sha256", json::Value()), checksum::sha256_hex(image));
  EXPECT_EQ(watch.take().opens, 1);
  EXPECT_TRUE(testing::read_file(node_file).starts_with(image)) << "the checked bytes are on the stick";
  EXPECT_FALSE(testing::read_file(image_path).starts_with(image)) << "the path was swapped";
}

}  // namespace
}  // namespace kelmar_vindle
