// Compressed and streamed images in the core: the formats told by their
// leading bytes, the decoder's status lines, and the whole pipeline (the
// real decoder program, named here as only a test may name it) onto a file
// standing in for a disk: what is written, and that every failure leaves
// the first MiB zero and no process or thread behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "printers.hpp"

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/decoder_process.hpp"
#include "kelmar_vindle/image_format.hpp"
#include "kelmar_vindle/spawn.hpp"
#include "kelmar_vindle/write/job_image.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::TempDir;

std::span<const std::byte> bytes_of(std::string_view text) { return std::as_bytes(std::span(text)); }

TEST(ImageFormat, IsToldByTheLeadingBytesAlone) {
  const struct {
    std::string_view leading;
    ImageFormat format;
  } cases[] = {
      {std::string_view("\xFD"
                        "7zXZ\0rest",
                        10),
       ImageFormat::Xz},
      {"\x1F\x8B\x08", ImageFormat::Gzip},
      {"\x28\xB5\x2F\xFD\x04", ImageFormat::Zstd},
      {"BZh9", ImageFormat::Bzip2},
      {"BZh0", ImageFormat::Raw},
      {"BZh", ImageFormat::Raw},
      {"PK\x03\x04", ImageFormat::Zip},
      {"PK\x05\x06", ImageFormat::Raw},
      {std::string_view("\xFD"
                        "7zXZ",
                        5),
       ImageFormat::Raw},
      {"\x1F", ImageFormat::Raw},
      {"", ImageFormat::Raw},
      {"\xEB\x63\x90 an MBR", ImageFormat::Raw},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.leading));
    EXPECT_EQ(sniff_image_format(bytes_of(c.leading)), c.format);
  }
  EXPECT_EQ(image_format_name(ImageFormat::Zstd), "zstd");
  EXPECT_EQ(image_format_name(ImageFormat::Raw), "raw");
}

TEST(DecoderStatus, OnlyTheFourShapesParse) {
  using K = StatusLine::Kind;
  const struct {
    std::string_view line;
    std::optional<StatusLine> parsed;
  } cases[] = {
      {"size 123", StatusLine{K::Size, 123, {}}},
      {"size unknown", StatusLine{K::SizeUnknown, 0, {}}},
      {"done 0", StatusLine{K::Done, 0, {}}},
      {"done 18446744073709551615", StatusLine{K::Done, 18446744073709551615ULL, {}}},
      {"error the xz data is corrupt", StatusLine{K::Error, 0, "the xz data is corrupt"}},
      {"done 18446744073709551616", std::nullopt},
      {"size -1", std::nullopt},
      {"size +1", std::nullopt},
      {"size 1 ", std::nullopt},
      {"size", std::nullopt},
      {"error ", std::nullopt},
      {"error a\rb", std::nullopt},
      {"DONE 1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line));
    const auto parsed = parse_status_line(c.line);
    ASSERT_EQ(parsed.has_value(), c.parsed.has_value());
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, c.parsed->kind);
    EXPECT_EQ(parsed->bytes, c.parsed->bytes);
    EXPECT_EQ(parsed->text, c.parsed->text);
  }
}

// A file standing in for a disk of `size` bytes, filled with 0xEE so that a
// zeroed start shows.
class FileDisk final : public write::DiskInterface {
 public:
  explicit FileDisk(std::filesystem::path path) : path_(std::move(path)) {}
  Result<write::Disk> locate(const DeviceIdentity&) const override { return write::Disk{"file", path_.string(), 0}; }
  Result<void> prepare(const write::Disk&) const override { return {}; }
  Result<UniqueFd> open_for_writing(const write::Disk& disk) const override {
    UniqueFd fd(::open(disk.path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid()) return std::unexpected(last_os_error());
    return fd;
  }
  Result<void> write_chunk(int fd, std::span<const std::byte> chunk) const override { return write_all(fd, chunk); }
  Result<void> flush(int) const override { return {}; }
  Result<std::string> read_back(const write::Disk&, int written, std::uint64_t count,
                                const checksum::HashStep& step) const override {
    return checksum::sha256_at(written, 0, count, step);
  }

 private:
  std::filesystem::path path_;
};

constexpr std::uint64_t kMiB = 1048576;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return bytes;
}

// `command` (a shell pipeline from standard input to standard output) over `input`.
std::string filtered(const TempDir& dir, std::string_view command, const std::string& input) {
  const auto in = dir.write("filter.in", input);
  const auto out = dir.path() / "filter.out";
  const auto run = testing::run_process(
      "/bin/sh", {.args = {"-c", std::string(command) + " < '" + in.string() + "' > '" + out.string() + "'"},
                  .env = {"PATH=/usr/bin:/bin"}});
  EXPECT_EQ(run.exit_status, 0) << command << ": " << run.err;
  return testing::read_file(out);
}

bool no_child_left() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

struct Outcome {
  Result<std::string> result;
  std::vector<WritePhase> phases;
};

// Writes `given` (a file, or through a pipe a thread feeds) onto a disk of
// `capacity` bytes for `job`. With `stall_after`, the feeding stops there
// with the pipe held open and the job is cancelled at its first `Writing`.
class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    auto program = DecoderProgram::at(KV_DECODER_BINARY);
    ASSERT_TRUE(program.has_value()) << program.error().text();
    decoder.emplace(std::move(*program));
  }

  WriteJob job_for(const std::string& given) const {
    WriteJob job;
    job.job_id = "stream";
    job.image_path = "/nonexistent/streamed";
    job.expected_sha256 = checksum::sha256_hex(given);
    job.expected_size = given.size();
    job.write_mode = "raw-dd-hybrid";
    return job;
  }

  Outcome run(const WriteJob& job, const std::string& given, bool stream, std::uint64_t capacity,
              std::optional<std::size_t> stall_after = std::nullopt) {
    testing::write_file(disk_path, std::string(capacity, '\xEE'));
    std::atomic<bool> cancel{false};
    std::vector<WritePhase> phases;
    ProgressFn progress = [&](const WritePhase& phase) {
      phases.push_back(phase);
      if (stall_after && phase.kind == WritePhase::Kind::Writing && phase.bytes_done > 0) {
        cancel.store(true, std::memory_order_release);
      }
    };
    UniqueFd file;
    std::optional<spawn::Pipe> pipe;
    std::thread feeder;
    UniqueFd release_read, release_write;
    if (stream) {
      auto made = spawn::make_pipe();
      EXPECT_TRUE(made.has_value());
      pipe.emplace(std::move(*made));
      auto gate = spawn::make_pipe();
      release_read = std::move(gate->read);
      release_write = std::move(gate->write);
      feeder = std::thread([&, write_end = std::move(pipe->write)]() mutable {
        const auto part = std::string_view(given).substr(0, stall_after.value_or(given.size()));
        if (!write_all(write_end.get(), part)) return;
        if (stall_after) {
          char byte = 0;
          static_cast<void>(::read(release_read.get(), &byte, 1));  // held open until the job is over
        }
      });
    } else {
      file = UniqueFd(::open(dir.write("given.img", given).c_str(), O_RDONLY | O_CLOEXEC));
    }
    const ImageAccess access(Client::of_user(::geteuid()), stream ? pipe->read.get() : file.get());
    Outcome outcome{std::unexpected(Error::io("not run")), {}};
    {
      auto image = write::JobImage::open(job, access, progress, cancel);
      if (!image) {
        outcome.result = std::unexpected(image.error());
      } else if (auto begun = image->begin(capacity, access.client, cancel, progress, &*decoder); !begun) {
        outcome.result = std::unexpected(begun.error());
      } else {
        const FileDisk disks(disk_path);
        outcome.result =
            image->copy(disks, write::Disk{"file", disk_path.string(), 0}, job, capacity, cancel, progress);
      }
    }
    release_write = UniqueFd();
    pipe.reset();
    if (feeder.joinable()) feeder.join();
    outcome.phases = std::move(phases);
    return outcome;
  }

  std::string disk_start(std::size_t length = kMiB) const { return testing::read_file(disk_path).substr(0, length); }

  TempDir dir;
  std::filesystem::path disk_path = dir.path() / "disk.img";
  std::optional<DecoderProgram> decoder;
};

TEST_F(Pipeline, EachFormatWritesTheDecodedImageAsFileAndAsStream) {
  const std::string image = patterned(2 * kMiB + 4097);
  const auto digest = checksum::sha256_hex(image);
  const struct {
    std::string_view format;
    std::string_view command;
  } formats[] = {{"plain", "cat"},
                 {"gzip", "gzip -c"},
                 {"xz", "xz -c -T2 --block-size=1MiB"},
                 {"zstd", "zstd -c -q"},
                 {"bzip2", "bzip2 -c"}};
  for (const auto& f : formats) {
    const std::string given = filtered(dir, f.command, image);
    for (const bool stream : {false, true}) {
      SCOPED_TRACE(std::string(f.format) + (stream ? " streamed" : " file"));
      const auto outcome = run(job_for(given), given, stream, 8 * kMiB);
      ASSERT_TRUE(outcome.result.has_value()) << outcome.result.error().text();
      EXPECT_EQ(*outcome.result, digest) << "the digest read back is the decoded image's";
      EXPECT_EQ(testing::read_file(disk_path).substr(0, image.size()), image);
      EXPECT_EQ(outcome.phases.back(), WritePhase::of(WritePhase::Kind::Verified));
      EXPECT_TRUE(no_child_left());
    }
  }
}

TEST_F(Pipeline, EveryFailureLeavesTheFirstMebibyteZero) {
  const std::string image = patterned(3 * kMiB);
  const std::string gz = filtered(dir, "gzip -c", image);
  const std::string xz = filtered(dir, "xz -c", image);
  std::string corrupt = gz;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
  const std::string zeros(kMiB, '\0');
  struct Case {
    std::string_view what;
    std::string given;
    bool stream;
    std::function<void(WriteJob&)> change;
    std::uint64_t capacity;
    ErrorKind kind;
  };
  const auto same = [](WriteJob&) {};
  const Case cases[] = {
      {"a corrupt gzip file", corrupt, false, same, 8 * kMiB, ErrorKind::Io},
      {"a corrupt gzip stream", corrupt, true, same, 8 * kMiB, ErrorKind::Io},
      {"a stream that ends early", gz, true, [&](WriteJob& j) { j.expected_size += 10; }, 8 * kMiB,
       ErrorKind::SizeMismatch},
      {"a plain stream whose digest differs", image, true,
       [](WriteJob& j) { j.expected_sha256 = std::string(64, 'a'); }, 8 * kMiB, ErrorKind::ImageHashMismatch},
      {"a gzip stream whose digest differs", gz, true, [](WriteJob& j) { j.expected_sha256 = std::string(64, 'a'); },
       8 * kMiB, ErrorKind::ImageHashMismatch},
      {"a gzip bomb over the capacity", gz, false, same, 2 * kMiB, ErrorKind::Io},
      {"a plain stream over the capacity", image, true, same, 2 * kMiB, ErrorKind::Io},
      {"a decoded digest that differs", xz, true, [](WriteJob& j) { j.expected_decoded_sha256 = std::string(64, 'b'); },
       8 * kMiB, ErrorKind::ImageHashMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteJob job = job_for(c.given);
    c.change(job);
    const auto outcome = run(job, c.given, c.stream, c.capacity);
    ASSERT_FALSE(outcome.result.has_value());
    EXPECT_EQ(outcome.result.error().kind(), c.kind) << outcome.result.error().text();
    EXPECT_EQ(disk_start(), zeros);
    EXPECT_TRUE(no_child_left());
    EXPECT_NE(outcome.phases.back(), WritePhase::of(WritePhase::Kind::Verified));
  }
}

TEST_F(Pipeline, AStatedLengthOverTheCapacityIsRefusedBeforeAByteIsWritten) {
  const std::string xz = filtered(dir, "xz -c", patterned(3 * kMiB));
  const auto outcome = run(job_for(xz), xz, false, 2 * kMiB);
  ASSERT_FALSE(outcome.result.has_value());
  EXPECT_EQ(outcome.result.error().text(),
            "I/O error: the decoded image is longer than the disk (more than 2097152 bytes)");
  EXPECT_EQ(disk_start(), std::string(kMiB, '\xEE')) << "the disk untouched";
  EXPECT_TRUE(no_child_left());
}

TEST_F(Pipeline, ACancelledStreamStopsTheDecoderAndZeroesTheStart) {
  const std::string image = patterned(4 * kMiB);
  const std::string gz = filtered(dir, "gzip -1 -c", image);
  const auto outcome = run(job_for(gz), gz, true, 8 * kMiB, gz.size() / 2);
  ASSERT_FALSE(outcome.result.has_value());
  EXPECT_EQ(outcome.result.error().kind(), ErrorKind::WriteCancelled);
  EXPECT_EQ(outcome.phases.back(), WritePhase::of(WritePhase::Kind::Cancelled));
  EXPECT_EQ(disk_start(), std::string(kMiB, '\0'));
  EXPECT_TRUE(no_child_left());
}

}  // namespace
}  // namespace kelmar_vindle
