#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_file.hpp"
#include "kelmar_vindle/page_buffer.hpp"

namespace kelmar_vindle::checksum {
namespace {

// Reads once into `buffer`, repeating only interrupted calls.
Result<std::size_t> read_some(int fd, std::span<std::byte> buffer) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(Error::io(os_error_text(errno)));
  }
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.finalize();
}

Result<std::string> sha256_reader(int fd, std::uint64_t limit) {
  Sha256 sha;
  auto page_buffer = PageBuffer::allocate(kReadSize);
  if (!page_buffer) return std::unexpected(std::move(page_buffer.error()));
  const std::span<std::byte> buffer = page_buffer->room();
  std::uint64_t remaining = limit;
  while (remaining > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    const auto got = read_some(fd, buffer.first(want));
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(Error::make<ErrorKind::SizeMismatch>(limit, limit - remaining));
    sha.update(buffer.first(*got));
    remaining -= *got;
  }
  return sha.finalize();
}

Result<FileDigest> sha256_file(const std::filesystem::path& path) {
  auto fd = open_image(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(Error::io(os_error_text(errno)));
  ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only; failure changes nothing

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

Result<FileVerdict> verify_file(const std::filesystem::path& path, std::string_view expected_sha256,
                                std::uint64_t expected_size) {
  auto digest = sha256_file(path);
  if (!digest) return std::unexpected(std::move(digest.error()));
  if (digest->size != expected_size) return SizeDiffers{expected_size, digest->size};
  if (digest->sha256 == expected_sha256) return Matches{std::move(digest->sha256), digest->size};
  return HashDiffers{std::string(expected_sha256), std::move(digest->sha256), digest->size};
}

}  // namespace kelmar_vindle::checksum
