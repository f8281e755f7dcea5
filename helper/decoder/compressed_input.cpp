#include "compressed_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kelmar_vindle::decoder {

namespace {

std::string read_failure(int error_number) {
  return std::string("reading the compressed image failed: ") + std::strerror(error_number);
}

}  // namespace

TextResult<CompressedInput> CompressedInput::from_descriptor(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return std::unexpected(read_failure(errno));
  if (S_ISREG(status.st_mode)) {
    return CompressedInput(fd, true, static_cast<std::uint64_t>(status.st_size));
  }
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return CompressedInput(fd, false, 0);
  return std::unexpected(std::string("the compressed image is neither a regular file nor a pipe"));
}

TextResult<std::size_t> CompressedInput::read(std::span<std::byte> buffer) {
  if (positional_) {
    auto count = read_at(position_, buffer);
    if (count) position_ += *count;
    return count;
  }
  for (;;) {
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return std::unexpected(read_failure(errno));
  }
}

TextResult<std::size_t> CompressedInput::read_at(std::uint64_t offset, std::span<std::byte> buffer) const {
  if (!positional_) return std::unexpected(std::string("the compressed image is a stream, read only in order"));
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
  for (;;) {
    const ssize_t count = ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return std::unexpected(read_failure(errno));
  }
}

TextResult<void> CompressedInput::read_exactly_at(std::uint64_t offset, std::span<std::byte> buffer) const {
  while (!buffer.empty()) {
    auto count = read_at(offset, buffer);
    if (!count) return std::unexpected(count.error());
    if (*count == 0) return std::unexpected(std::string(kEndsEarly));
    offset += *count;
    buffer = buffer.subspan(*count);
  }
  return {};
}

}  // namespace kelmar_vindle::decoder
