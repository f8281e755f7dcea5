#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_file.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/read_ahead.hpp"

namespace kelmar_vindle::checksum {

std::string sha256_hex(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.finalize();
}

namespace {

// Hashes `limit` bytes that `read` delivers, `done` bytes into them, in
// `kReadSize` steps.
template <class Read>
Result<std::string> hash_bytes(std::uint64_t limit, const HashStep& step, Read read) {
  Sha256 sha;
  auto page_buffer = PageBuffer::allocate(kReadSize);
  if (!page_buffer) return std::unexpected(std::move(page_buffer.error()));
  const std::span<std::byte> buffer = page_buffer->room();
  std::uint64_t remaining = limit;
  std::uint64_t next_step = kStepBytes;
  while (remaining > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    const auto got = read(buffer.first(want), limit - remaining);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(Error::make<ErrorKind::SizeMismatch>(limit, limit - remaining));
    sha.update(buffer.first(*got));
    remaining -= *got;
    const std::uint64_t done = limit - remaining;
    if (step && (done >= next_step || remaining == 0)) {
      if (auto going_on = step(done); !going_on) return std::unexpected(std::move(going_on.error()));
      next_step = done + kStepBytes;
    }
  }
  return sha.finalize();
}

}  // namespace

Result<std::string> sha256_reader(int fd, std::uint64_t limit, const HashStep& step) {
  return hash_bytes(limit, step, [fd](std::span<std::byte> room, std::uint64_t) { return read_some(fd, room); });
}

Result<std::string> sha256_at(int fd, std::uint64_t offset, std::uint64_t limit, const HashStep& step) {
  return hash_bytes(limit, step, [fd, offset](std::span<std::byte> room, std::uint64_t done) {
    return read_some_at(fd, room, offset + done);
  });
}

Result<FileDigest> sha256_file(const std::filesystem::path& path) {
  auto fd = open_image(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(last_os_error());

  Sha256 sha;
  auto page_buffer = PageBuffer::allocate(kReadSize);
  if (!page_buffer) return std::unexpected(std::move(page_buffer.error()));
  const std::span<std::byte> buffer = page_buffer->room();
  for (;;) {
    const auto got = read_some(fd->get(), buffer);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) break;
    sha.update(buffer.first(*got));
  }
  return FileDigest{sha.finalize(), static_cast<std::uint64_t>(info.st_size)};
}

Result<FileVerdict> verify_open_file(int fd, std::string_view expected_sha256, std::uint64_t expected_size,
                                     const HashStep& step) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(last_os_error());
  const auto size = static_cast<std::uint64_t>(info.st_size);
  // A wrong length is known from the metadata: an image of terabytes is not
  // read to its end to be told so.
  if (size != expected_size) return SizeDiffers{expected_size, size};
  advise_sequential(fd);
  auto digest = sha256_at(fd, 0, size, step);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (*digest == expected_sha256) return Matches{std::move(*digest), size};
  return HashDiffers{std::string(expected_sha256), std::move(*digest), size};
}

Result<FileVerdict> verify_file(const std::filesystem::path& path, std::string_view expected_sha256,
                                std::uint64_t expected_size) {
  auto fd = open_image(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return verify_open_file(fd->get(), expected_sha256, expected_size);
}

}  // namespace kelmar_vindle::checksum
