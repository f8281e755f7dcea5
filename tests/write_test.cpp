#include "kelmar_vindle/write.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "printers.hpp"

#include "descriptors.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::TempDir;
using Kind = WritePhase::Kind;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + i / 4096) & 0xFF);
  return bytes;
}

std::span<const std::byte> bytes_of(const std::string& text) { return std::as_bytes(std::span(text)); }

WriteJob job_for(const std::string& image, const std::filesystem::path& image_path = {}) {
  WriteJob job;
  job.job_id = "sink";
  job.image_path = image_path;
  job.expected_sha256 = checksum::sha256_hex(image);
  job.expected_size = image.size();
  job.write_mode = "raw-dd-hybrid";
  return job;
}

// Runs one call and collects the phases it reported.
struct Recorded {
  Result<std::string> result;
  std::vector<WritePhase> phases;
};

Recorded write_direct(const MockFileBackend& sink, const WriteJob& job, const std::string& image,
                      bool cancelled = false) {
  std::vector<WritePhase> phases;
  ProgressFn record = [&](const WritePhase& p) { phases.push_back(p); };
  const std::atomic<bool> cancel{cancelled};
  auto result = sink.write_and_verify(job, bytes_of(image), cancel, record);
  return {std::move(result), std::move(phases)};
}

const WritePhase kWritten = WritePhase::of(Kind::Written);
const WritePhase kVerifying = WritePhase::of(Kind::Verifying);
const WritePhase kVerified = WritePhase::of(Kind::Verified);

TEST(FileSink, WritesInMebibyteChunksAndVerifiesWhatLanded) {
  TempDir dir;
  const std::size_t descriptors = testing::open_descriptors();
  struct Case {
    std::size_t size;
    std::vector<WritePhase> writing;
  };
  const Case cases[] = {
      {2'621'440,
       {WritePhase::writing(1'048'576, 2'621'440), WritePhase::writing(2'097'152, 2'621'440),
        WritePhase::writing(2'621'440, 2'621'440)}},
      {1'048'576, {WritePhase::writing(1'048'576, 1'048'576)}},
      {3, {WritePhase::writing(3, 3)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const auto sink_path = dir.path() / "out" / "sub" / "image.bin";
    std::filesystem::remove_all(dir.path() / "out");
    const MockFileBackend sink(sink_path);
    const std::string image = patterned(c.size);
    const auto recorded = write_direct(sink, job_for(image), image);
    ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error().text();
    EXPECT_EQ(*recorded.result, checksum::sha256_hex(image));
    std::vector<WritePhase> expected = c.writing;
    expected.insert(expected.end(), {kWritten, kVerifying, kVerified});
    EXPECT_EQ(recorded.phases, expected);
    EXPECT_EQ(testing::read_file(sink_path), image);
  }
  EXPECT_EQ(testing::open_descriptors(), descriptors);
}

TEST(FileSink, TruncatesALongerSinkFirst) {
  TempDir dir;
  const auto sink_path = dir.write("sink.bin", std::string(5000, 'o'));
  const std::string image = patterned(100);
  const auto recorded = write_direct(MockFileBackend(sink_path), job_for(image), image);
  EXPECT_TRUE(recorded.result.has_value());
  EXPECT_EQ(testing::read_file(sink_path), image);
}

TEST(FileSink, CancelledBeforeTheFirstChunkLeavesAnEmptySink) {
  TempDir dir;
  const auto sink_path = dir.path() / "sink.bin";
  const std::string image = patterned(10);
  const auto recorded = write_direct(MockFileBackend(sink_path), job_for(image), image, /*cancelled=*/true);
  EXPECT_EQ(recorded.result.error(), Error::make<ErrorKind::WriteCancelled>());
  EXPECT_EQ(recorded.result.error().code(), ErrorCode::WriteCancelled);
  EXPECT_EQ(recorded.phases, std::vector<WritePhase>{WritePhase::of(Kind::Cancelled)});
  EXPECT_TRUE(std::filesystem::exists(sink_path));
  EXPECT_EQ(std::filesystem::file_size(sink_path), 0u);
}

TEST(FileSink, ReadBackIsJudgedAgainstTheJob) {
  TempDir dir;
  const auto sink_path = dir.path() / "sink.bin";
  const std::string image = patterned(4096);
  const std::string other = patterned(4095) + "!";
  WriteJob job = job_for(image);

  // Same length, other digest: written, then refused naming both digests.
  auto recorded = write_direct(MockFileBackend(sink_path), job, other);
  EXPECT_EQ(recorded.result.error(),
            Error::make<ErrorKind::VerifyMismatch>(job.expected_sha256, checksum::sha256_hex(other)));
  EXPECT_EQ(recorded.phases.back(), kVerifying);
  EXPECT_EQ(testing::read_file(sink_path), other);

  // Another length: written, then refused on length before any digest.
  recorded = write_direct(MockFileBackend(sink_path), job, image + "x");
  EXPECT_EQ(recorded.result.error(), Error::make<ErrorKind::SizeMismatch>(4096, 4097));

  // Nothing to write: no chunk, no cancellation check, and the length decides.
  recorded = write_direct(MockFileBackend(sink_path), job, "", /*cancelled=*/true);
  EXPECT_EQ(recorded.result.error(), Error::make<ErrorKind::SizeMismatch>(4096, 0));
  EXPECT_EQ(recorded.phases, (std::vector<WritePhase>{kWritten, kVerifying}));
}

TEST(FileSink, UnwritableSinksFailWithTheSystemsText) {
  TempDir dir;
  const auto file = dir.write("plain", "x");
  const std::string image = patterned(64);
  struct Case {
    std::filesystem::path sink;
    Error failure;
  };
  const Case cases[] = {
      {file / "sink.bin", Error::io("Not a directory (os error 20)")},
      {file / "sub" / "sink.bin", Error::io("Not a directory (os error 20)")},
      {"/dev/full", Error::io("No space left on device (os error 28)")},
      {dir.path(), Error::io("Is a directory (os error 21)")},
      {std::string("sink") + '\0' + "x", Error::io("paths must not contain interior null bytes")},
      // Devices take the writes but read back wrong; the read-back stops at the job's length.
      {"/dev/null", Error::make<ErrorKind::SizeMismatch>(64, 0)},
      {"/dev/zero", Error::make<ErrorKind::VerifyMismatch>(checksum::sha256_hex(image),
                                                           checksum::sha256_hex(std::string(64, '\0')))},
  };
  const std::size_t descriptors = testing::open_descriptors();
  for (const auto& c : cases) {
    const auto recorded = write_direct(MockFileBackend(c.sink), job_for(image), image);
    ASSERT_FALSE(recorded.result.has_value()) << c.sink;
    EXPECT_EQ(recorded.result.error(), c.failure) << c.sink;
  }
  EXPECT_EQ(testing::open_descriptors(), descriptors);
}

TEST(FileSink, NeitherFollowsALinkNorWaitsForAReader) {
  TempDir dir;
  const std::string image = patterned(64);
  const auto target = dir.write("precious", "keep me");
  const auto link = dir.path() / "sink-link";
  std::filesystem::create_symlink(target, link);
  const auto fifo = dir.path() / "sink-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::filesystem::path sink;
    Error failure;
  };
  const Case cases[] = {
      {link, Error::io("Too many levels of symbolic links (os error 40)")},
      {fifo, Error::io("No such device or address (os error 6)")},  // at once, not after a reader came
  };
  for (const auto& c : cases) {
    const auto recorded = write_direct(MockFileBackend(c.sink), job_for(image), image);
    ASSERT_FALSE(recorded.result.has_value()) << c.sink;
    EXPECT_EQ(recorded.result.error(), c.failure) << c.sink;
    EXPECT_TRUE(recorded.phases.empty());
  }
  EXPECT_EQ(testing::read_file(target), "keep me");
}

TEST(FileSink, DefaultWriteJobChecksTheImageBeforeTouchingTheSink) {
  TempDir dir;
  const std::string image = patterned(3000);
  const auto image_path = dir.write("image.iso", image);
  const auto sink_path = dir.path() / "sink.bin";
  const MockFileBackend sink(sink_path);
  const std::atomic<bool> cancel{false};
  std::vector<WritePhase> phases;
  ProgressFn record = [&](const WritePhase& p) { phases.push_back(p); };

  WriteJob wrong_size = job_for(image, image_path);
  wrong_size.expected_size += 1;
  EXPECT_EQ(sink.write_job(wrong_size, cancel, record).error(), Error::make<ErrorKind::SizeMismatch>(3001, 3000));
  EXPECT_TRUE(phases.empty());
  EXPECT_FALSE(std::filesystem::exists(sink_path));

  const auto digest = sink.write_job(job_for(image, image_path), cancel, record);
  ASSERT_TRUE(digest.has_value()) << digest.error().text();
  EXPECT_EQ(*digest, checksum::sha256_hex(image));
  EXPECT_EQ(testing::read_file(sink_path), image);
}

// The image check and the read-back count their bytes for a caller that
// asks, and the read-back, minutes long on a stick, stops between two MiB
// once the job is cancelled: its stick is as unproven as a half-written one.
TEST(FileSink, CountsTheCheckAndTheReadBackWhichACancellationStops) {
  TempDir dir;
  const std::string image = patterned(3 * 1048576 + 5);
  const auto image_path = dir.write("image.iso", image);
  const auto sink_path = dir.path() / "sink.bin";
  std::atomic<bool> cancel{false};
  std::vector<WritePhase> phases;
  std::vector<std::pair<Kind, std::uint64_t>> counts;
  ProgressFn record([&](const WritePhase& p) { phases.push_back(p); },
                    [&](Kind stage, std::uint64_t done, std::uint64_t total) {
                      EXPECT_EQ(total, image.size());
                      counts.emplace_back(stage, done);
                      if (stage == Kind::Verifying) cancel.store(true);
                    });
  const auto result = MockFileBackend(sink_path).write_job(job_for(image, image_path), cancel, record);

  EXPECT_EQ(result.error(), Error::make<ErrorKind::WriteCancelled>());
  const std::vector<std::pair<Kind, std::uint64_t>> expected{{Kind::CheckingImage, 1048576},
                                                             {Kind::CheckingImage, 2097152},
                                                             {Kind::CheckingImage, 3145728},
                                                             {Kind::CheckingImage, image.size()},
                                                             {Kind::Verifying, 1048576}};
  EXPECT_EQ(counts, expected);
  ASSERT_GE(phases.size(), 2u);
  EXPECT_EQ(phases[phases.size() - 2], kVerifying);
  EXPECT_EQ(phases.back(), WritePhase::of(Kind::Cancelled));
  EXPECT_EQ(testing::read_file(sink_path), image) << "what was written stays";
}

// A cancellation that arrives while the image is hashed ends the job there,
// before its target is created or truncated.
TEST(FileSink, ACancellationDuringTheImageCheckLeavesTheSinkAlone) {
  TempDir dir;
  const std::string image = patterned(3 * 1048576);
  const auto image_path = dir.write("image.iso", image);
  const auto sink_path = dir.write("sink.bin", "what the sink held");
  std::atomic<bool> cancel{false};
  std::vector<WritePhase> phases;
  ProgressFn record([&](const WritePhase& p) { phases.push_back(p); },
                    [&](Kind, std::uint64_t, std::uint64_t) { cancel.store(true); });
  const auto result = MockFileBackend(sink_path).write_job(job_for(image, image_path), cancel, record);
  EXPECT_EQ(result.error(), Error::make<ErrorKind::WriteCancelled>());
  EXPECT_EQ(phases, std::vector<WritePhase>{WritePhase::of(Kind::Cancelled)});
  EXPECT_EQ(testing::read_file(sink_path), "what the sink held");
}

// A client shares the file offset of a descriptor it hands over and may move
// it at any moment. The image is read at offsets of the helper's own, so
// the check and the copy see the file's bytes in order whatever the client
// does, and the offset is left where the client put it.
TEST(FileSink, AHandedOverDescriptorIsReadAtTheHelpersOwnOffsets) {
  TempDir dir;
  const std::string image = patterned(3 * 1048576 + 4321);
  const auto image_path = dir.write("image.iso", image);
  const auto sink_path = dir.path() / "sink.bin";
  const UniqueFd held(::open(image_path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(held.valid());
  // The client's moves: before the job, and at every report, so between any
  // two chunks of the check, the copy and the read-back.
  off_t place = static_cast<off_t>(image.size() / 2);
  int moves = 0;
  const auto move = [&] {
    place = (place * 7 + 12345) % static_cast<off_t>(image.size());
    ASSERT_EQ(::lseek(held.get(), place, SEEK_SET), place);
    ++moves;
  };
  move();
  ProgressFn mover([&](const WritePhase&) { move(); }, [&](Kind, std::uint64_t, std::uint64_t) { move(); });
  const std::atomic<bool> cancel{false};
  const auto digest = MockFileBackend(sink_path).write_job(job_for(image, "/the/path/is/never/opened"),
                                                           ImageAccess(Client::root(), held.get()), cancel, mover);
  ASSERT_TRUE(digest.has_value()) << digest.error().text();
  EXPECT_EQ(*digest, checksum::sha256_hex(image));
  EXPECT_EQ(testing::read_file(sink_path), image);
  EXPECT_GE(moves, 10) << "the client moved the offset between the chunks";
  EXPECT_EQ(::lseek(held.get(), 0, SEEK_CUR), place) << "the helper never moves the client's offset";
}

}  // namespace
}  // namespace kelmar_vindle
