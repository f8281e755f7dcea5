#include "kelmar_vindle/checksum.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include "printers.hpp"

#include <cstring>

#include "descriptors.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/write.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::TempDir;

constexpr std::string_view kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(checksum::sha256_hex(""), kEmptyDigest);
  EXPECT_EQ(checksum::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Fed in pieces, the digest is that of the whole.
  checksum::Sha256 pieces;
  pieces.update("a");
  pieces.update("bc");
  EXPECT_EQ(pieces.finalize(), checksum::sha256_hex("abc"));
}

TEST(Sha256Reader, ReadsExactlyTheLimitFromTheCurrentPosition) {
  TempDir dir;
  const auto file = dir.write("ten", "0123456789");
  UniqueFd fd(::open(file.c_str(), O_RDONLY));

  EXPECT_EQ(checksum::sha256_reader(fd.get(), 4).value(), checksum::sha256_hex("0123"));
  char next = 0;
  ASSERT_EQ(::read(fd.get(), &next, 1), 1);
  EXPECT_EQ(next, '4') << "bytes after the limit are never read";

  EXPECT_EQ(checksum::sha256_reader(fd.get(), 0).value(), kEmptyDigest);

  ASSERT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  EXPECT_EQ(checksum::sha256_reader(fd.get(), 16).error(), Error::make<ErrorKind::SizeMismatch>(16, 10));
}

TEST(Sha256At, ReadsFromTheGivenOffsetAndLeavesTheFileOffsetAlone) {
  TempDir dir;
  const auto file = dir.write("ten", "0123456789");
  UniqueFd fd(::open(file.c_str(), O_RDONLY));
  ASSERT_EQ(::lseek(fd.get(), 7, SEEK_SET), 7);

  EXPECT_EQ(checksum::sha256_at(fd.get(), 2, 4).value(), checksum::sha256_hex("2345"));
  EXPECT_EQ(checksum::sha256_at(fd.get(), 0, 10).value(), checksum::sha256_hex("0123456789"));
  EXPECT_EQ(checksum::sha256_at(fd.get(), 6, 0).value(), kEmptyDigest);
  EXPECT_EQ(checksum::sha256_at(fd.get(), 4, 16).error(), Error::make<ErrorKind::SizeMismatch>(16, 6));
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 7);
}

TEST(CheckImage, LengthFirstThenDigest) {
  TempDir dir;
  const std::string image(4096, 'i');
  const std::string digest = checksum::sha256_hex(image);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto exact = dir.write("exact.img", image);
  const auto longer = dir.write("longer.img", image + "x");
  const auto empty = dir.write("empty.img", "");
  ::mkfifo((dir.path() / "fifo").c_str(), 0600);
  const std::string socket_path = (dir.path() / "sock").string();
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  struct Case {
    std::string_view what;
    std::filesystem::path path;
    std::string expected_sha256;
    std::uint64_t expected_size;
    std::optional<Error> failure;
  };
  const Error not_regular = Error::io("image is not a regular file");
  const Case cases[] = {
      {"matches", exact, digest, 4096, std::nullopt},
      {"upper-case expectation", exact, upper, 4096, Error::make<ErrorKind::ImageHashMismatch>(upper, digest)},
      {"one byte longer, digest never looked at", longer, digest, 4096,
       Error::make<ErrorKind::SizeMismatch>(4096, 4097)},
      {"empty image", empty, digest, 1, Error::make<ErrorKind::SizeMismatch>(1, 0)},
      {"missing", dir.path() / "missing.img", digest, 4096, Error::io("No such file or directory (os error 2)")},
      {"FIFO without a writer", dir.path() / "fifo", digest, 4096, not_regular},
      {"endless device", "/dev/zero", digest, 4096, not_regular},
      {"directory", dir.path(), digest, 4096, not_regular},
      {"socket", socket_path, digest, 4096, Error::io("No such device or address (os error 6)")},
      {"zero byte in the path", std::string(exact.string() + std::string(1, '\0') + "x"), digest, 4096,
       Error::io("paths must not contain interior null bytes")},
  };
  const std::size_t descriptors = testing::open_descriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto checked = write::check_image(c.path, c.expected_sha256, c.expected_size);
    if (!c.failure) {
      EXPECT_TRUE(checked.has_value()) << checked.error().text();
      continue;
    }
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), *c.failure) << checked.error().text();
  }
  EXPECT_EQ(testing::open_descriptors(), descriptors);
  EXPECT_EQ(write::check_image(dir.path() / "missing.img", digest, 1).error().code(), ErrorCode::Protocol);
}

TEST(LoadAndCheckImage, ReturnsTheCheckedBytes) {
  TempDir dir;
  const std::string image = "installer image";
  const auto file = dir.write("image.iso", image);
  const auto bytes = write::load_and_check_image(file, checksum::sha256_hex(image), image.size());
  ASSERT_TRUE(bytes.has_value()) << bytes.error().text();
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(bytes->bytes().data()), bytes->size()), image);
  EXPECT_EQ(write::load_and_check_image(file, std::string(64, '0'), image.size()).error().kind(),
            ErrorKind::ImageHashMismatch);
}

}  // namespace
}  // namespace kelmar_vindle
