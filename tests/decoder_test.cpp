// The decoder program through its real binary, with its descriptors laid out
// as the helper lays them out: 0 the compressed image (a regular file whose
// shared offset was moved elsewhere, or a pipe), 1 a pipe for the decoded
// bytes, 3 the status pipe, and an empty environment. Fixtures are made by
// the system's compressors (scripts/install-deps.sh installs them) and
// python3's zipfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kelmar_vindle/file_io.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::testing {
namespace {

enum class Feed { File, Pipe };

struct Decoded {
  int exit_status = -1;
  std::string out;
  std::vector<std::string> status;  // the lines of descriptor 3
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start) + "<no line feed>");
  return lines;
}

std::pair<UniqueFd, UniqueFd> make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return {};
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Runs the decoder on `compressed` (the file at that path) fed as `feed`.
// With `unread_output`, nobody reads descriptor 1.
Decoded decode(const std::filesystem::path& compressed, Feed feed, std::vector<std::string> args,
               bool unread_output = false) {
  Decoded result;
  UniqueFd file(::open(compressed.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    ADD_FAILURE() << "cannot open " << compressed;
    return result;
  }
  // The offset is shared with the client, who may have moved it anywhere.
  ::lseek(file.get(), 0, SEEK_END);
  auto [input_read, input_write] = make_pipe();
  auto [output_read, output_write] = make_pipe();
  auto [status_read, status_write] = make_pipe();
  if (!input_read.valid() || !output_read.valid() || !status_read.valid()) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  if (unread_output) output_read = UniqueFd();
  const int input = feed == Feed::File ? file.get() : input_read.get();

  std::vector<std::string> argv_text{KV_DECODER_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char* empty_environment[] = {nullptr};

  const pid_t pid = fork();
  if (pid == 0) {
    // Descriptors above 3 are opened close-on-exec.
    if (dup2(input, 0) < 0 || dup2(output_write.get(), 1) < 0 || dup2(status_write.get(), 3) < 0) _exit(127);
    execve(argv[0], argv.data(), empty_environment);
    _exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  output_write = UniqueFd();
  status_write = UniqueFd();
  input_read = UniqueFd();
  std::jthread feeder;
  if (feed == Feed::Pipe) {
    feeder = std::jthread([&, in = std::move(input_write)] {
      auto bytes = read_file(compressed);
      (void)write_all(in.get(), bytes);
    });
  }
  input_write = UniqueFd();
  std::string status_text;
  std::jthread status_reader([&] { status_text = read_to_end(status_read.get()).value_or("<status unreadable>"); });
  if (!unread_output) result.out = read_to_end(output_read.get()).value_or("<output unreadable>");
  status_reader.join();
  if (feeder.joinable()) feeder.join();
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) result.exit_status = WEXITSTATUS(wait_status);
  result.status = lines_of(status_text);
  return result;
}

std::vector<std::string> decoder_args(std::string_view format, std::uint64_t limit) {
  return {"--format", std::string(format), "--limit", std::to_string(limit)};
}

// Runs a shell command, failing the test when it fails.
void shell(const std::string& command) {
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

// Makes an image that compresses as real ones do: text, runs of zeros and
// a stretch of the same pattern, about 2.5 MiB.
std::string sample_image() {
  std::string image;
  for (int i = 0; image.size() < (std::size_t{3} << 19); ++i) {
    image += "block " + std::to_string(i * 7919 % 104729) + " of the sample image\n";
    if (i % 1000 == 0) image.append(std::size_t{4096}, '\0');
  }
  return image;
}

struct FormatCase {
  std::string_view name;
  // Compresses the file IN into OUT.
  std::string_view command;
  // Whether the container states the decoded length (read from a file).
  bool states_size;
};

constexpr std::string_view kZipOne =
    "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[2], \"w\", zipfile.ZIP_DEFLATED); "
    "z.writestr(\"README.txt\", \"read me\"); z.write(sys.argv[1], \"disk.img\"); z.close()' IN OUT";

const FormatCase kFormats[] = {
    {"xz", "xz -c -T2 --block-size=1MiB < IN > OUT", true},
    {"gzip", "gzip -c < IN > OUT", false},
    {"zstd", "zstd -q -c IN > OUT", true},
    {"bzip2", "bzip2 -c < IN > OUT", false},
    {"zip", kZipOne, true},
};

void PrintTo(const FormatCase& format, std::ostream* out) { *out << format.name; }
void PrintTo(Feed feed, std::ostream* out) { *out << (feed == Feed::File ? "file" : "pipe"); }

// Compresses `image_path` as `format` says into `out`.
void compress(const FormatCase& format, const std::filesystem::path& in, const std::filesystem::path& out) {
  std::string command(format.command);
  command.replace(command.find("IN"), 2, in.string());
  command.replace(command.find("OUT"), 3, out.string());
  shell(command);
}

class DecoderFormat : public ::testing::TestWithParam<std::tuple<FormatCase, Feed>> {};

std::string case_name(const ::testing::TestParamInfo<DecoderFormat::ParamType>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == Feed::File ? "_file" : "_pipe");
}

TEST_P(DecoderFormat, DecodesTheImageAndReportsItsLength) {
  const auto& [format, feed] = GetParam();
  TempDir dir;
  const std::string image = sample_image();
  const auto image_path = dir.write("image", image);
  compress(format, image_path, dir.path() / "image.c");
  std::string expected = image;
  auto compressed = dir.path() / "image.c";
  // Formats that concatenate (members, streams, frames) decode the whole row.
  if (format.name != "zip") {
    shell("cat " + compressed.string() + " " + compressed.string() + " > " + (dir.path() / "twice.c").string());
    compressed = dir.path() / "twice.c";
    expected += image;
  }

  const Decoded decoded = decode(compressed, feed, decoder_args(format.name, expected.size()));

  EXPECT_EQ(decoded.exit_status, 0);
  EXPECT_TRUE(decoded.out == expected) << "decoded " << decoded.out.size() << " bytes, not the image";
  const std::string size = format.states_size && feed == Feed::File ? "size " + std::to_string(expected.size())
                                                                    : std::string("size unknown");
  EXPECT_EQ(decoded.status, (std::vector<std::string>{size, "done " + std::to_string(expected.size())}));
}

TEST_P(DecoderFormat, RefusesCorruptAndTruncatedData) {
  const auto& [format, feed] = GetParam();
  TempDir dir;
  const auto image_path = dir.write("image", sample_image());
  compress(format, image_path, dir.path() / "image.c");
  const std::string compressed = read_file(dir.path() / "image.c");
  std::string corrupt = compressed;
  for (std::size_t at = corrupt.size() / 3; at < corrupt.size() * 2 / 3; at += 97) corrupt[at] ^= 0x5a;

  const struct {
    std::string_view what;
    std::string data;
  } kBroken[] = {{"corrupt", corrupt}, {"truncated", compressed.substr(0, compressed.size() / 2)}};
  for (const auto& broken : kBroken) {
    SCOPED_TRACE(broken.what);
    const Decoded decoded = decode(dir.write("broken", broken.data), feed, decoder_args(format.name, 1ull << 30));
    EXPECT_EQ(decoded.exit_status, 1);
    ASSERT_FALSE(decoded.status.empty());
    EXPECT_TRUE(decoded.status.back().starts_with("error ")) << decoded.status.back();
    // Never a `done`, and never a decoded byte before the `size` line.
    for (const auto& line : decoded.status) EXPECT_FALSE(line.starts_with("done")) << line;
    if (!decoded.out.empty()) {
      EXPECT_TRUE(decoded.status.front().starts_with("size ")) << decoded.status.front();
    }
  }
}

TEST_P(DecoderFormat, StopsAtTheLimitWhateverTheContainerStates) {
  const auto& [format, feed] = GetParam();
  TempDir dir;
  // 64 MiB of zeros compressed to a few KiB, against a 1 MiB disk.
  shell("head -c 67108864 /dev/zero > " + (dir.path() / "zeros").string());
  compress(format, dir.path() / "zeros", dir.path() / "bomb");
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 20;

  const Decoded decoded = decode(dir.path() / "bomb", feed, decoder_args(format.name, kLimit));

  EXPECT_EQ(decoded.exit_status, 1);
  EXPECT_LE(decoded.out.size(), kLimit);
  ASSERT_FALSE(decoded.status.empty());
  if (format.states_size && feed == Feed::File) {
    // Refused from the container's statement, before decoding.
    EXPECT_EQ(decoded.status, (std::vector<std::string>{"size 67108864",
                                                        "error the image decodes to 67108864 bytes, more than the "
                                                        "disk holds (1048576 bytes)"}));
    EXPECT_EQ(decoded.out.size(), 0u);
  } else {
    EXPECT_EQ(decoded.status.back(), "error the decoded image is longer than the disk (more than 1048576 bytes)");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DecoderFormat,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::Values(Feed::File, Feed::Pipe)),
                         case_name);

TEST(Decoder, PicksTheOneImageOfAZipOrNamesTheCandidates) {
  TempDir dir;
  const auto image = dir.write("image", sample_image());
  // Python writes each archive: the members given as name=source pairs.
  const auto zip = [&](std::string_view name, std::string_view members) {
    const auto path = dir.path() / name;
    shell("cd " + dir.path().string() +
          " && python3 -c 'import sys, zipfile\n"
          "z = zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED)\n"
          "[z.write(m.split(\"=\")[1], m.split(\"=\")[0]) for m in sys.argv[2:]]\n"
          "z.close()' " +
          path.string() + " " + std::string(members));
    return path;
  };
  // The image's sizes in zip64 extra fields, as archivers write them for
  // images over 4 GiB.
  const auto zip64 = [&] {
    const auto path = dir.path() / "zip64.zip";
    shell(
        "python3 -c 'import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED)\n"
        "with z.open(\"disk.img\", \"w\", force_zip64=True) as m: m.write(open(sys.argv[2], \"rb\").read())\n"
        "z.close()' " +
        path.string() + " " + image.string());
    return path;
  };
  const struct {
    std::string_view what;
    std::filesystem::path archive;
    std::string_view error;  // empty: decodes the image
  } kCases[] = {
      {"with side files",
       zip("side.zip", "__MACOSX/._disk.img=image SHA256SUMS=image notes.TXT=image img/disk.img=image"), ""},
      {"two images", zip("two.zip", "a.img=image README.txt=image b.raw=image"),
       "error the zip archive holds several images: a.img, b.raw"},
      {"empty", zip("empty.zip", ""), "error the zip archive holds no image"},
      {"with zip64 records", zip64(), ""},
  };
  for (const auto& each : kCases) {
    for (const Feed feed : {Feed::File, Feed::Pipe}) {
      SCOPED_TRACE(std::string(each.what) + (feed == Feed::File ? " from a file" : " from a pipe"));
      const Decoded decoded = decode(each.archive, feed, decoder_args("zip", 1ull << 30));
      if (each.error.empty()) {
        const std::string expected = read_file(image);
        EXPECT_EQ(decoded.exit_status, 0);
        EXPECT_TRUE(decoded.out == expected);
        const std::string size = feed == Feed::File ? "size " + std::to_string(expected.size()) : "size unknown";
        EXPECT_EQ(decoded.status, (std::vector<std::string>{size, "done " + std::to_string(expected.size())}));
      } else {
        EXPECT_EQ(decoded.exit_status, 1);
        ASSERT_FALSE(decoded.status.empty());
        EXPECT_EQ(decoded.status.back(), each.error);
      }
    }
  }
}

TEST(Decoder, ReportsAHelperThatStopsReading) {
  TempDir dir;
  shell("head -c 8388608 /dev/zero | gzip -c > " + (dir.path() / "image.gz").string());
  const Decoded decoded = decode(dir.path() / "image.gz", Feed::File, decoder_args("gzip", 1ull << 30), true);
  EXPECT_EQ(decoded.exit_status, 1);
  EXPECT_EQ(decoded.status,
            (std::vector<std::string>{"size unknown", "error the helper stopped reading the decoded image"}));
}

TEST(Decoder, RefusesABadCommandLine) {
  TempDir dir;
  const auto input = dir.write("input", "");
  const struct {
    std::vector<std::string> args;
    std::string_view error;
  } kCases[] = {
      {{"--format", "rar", "--limit", "1"}, "error unknown image format \"rar\""},
      {{"--format", "xz", "--limit", "-1"}, "error the limit \"-1\" is not a number of bytes"},
      {{"--format", "xz"}, "error usage: kelmar_vindle_decoder --format xz|gzip|zstd|bzip2|zip --limit BYTES"},
  };
  for (const auto& each : kCases) {
    const Decoded decoded = decode(input, Feed::File, each.args);
    EXPECT_EQ(decoded.exit_status, 1);
    EXPECT_EQ(decoded.status, (std::vector<std::string>{std::string(each.error)}));
  }
}

}  // namespace
}  // namespace kelmar_vindle::testing
