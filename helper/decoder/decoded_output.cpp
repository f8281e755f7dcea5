#include "decoded_output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kelmar_vindle::decoder {

std::string longer_than_disk(std::uint64_t limit) {
  return "the decoded image is longer than the disk (more than " + std::to_string(limit) + " bytes)";
}

DecodedOutput::DecodedOutput(int fd, std::uint64_t limit)
    : fd_(fd), limit_(limit), buffer_(std::make_unique_for_overwrite<std::byte[]>(kBufferSize)) {}

TextResult<void> DecodedOutput::produced(std::size_t count) {
  if (count > limit_ || total() > limit_ - count) return std::unexpected(longer_than_disk(limit_));
  filled_ += count;
  if (filled_ < kBufferSize) return {};
  return write_buffer();
}

TextResult<void> DecodedOutput::write_buffer() {
  std::size_t done = 0;
  while (done < filled_) {
    const ssize_t count = ::write(fd_, buffer_.get() + done, filled_ - done);
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EPIPE) {
      return std::unexpected(std::string("the helper stopped reading the decoded image"));
    } else {
      const int error_number = count < 0 ? errno : EIO;
      return std::unexpected(std::string("writing the decoded image failed: ") + std::strerror(error_number));
    }
  }
  written_ += filled_;
  filled_ = 0;
  return {};
}

TextResult<void> DecodedOutput::finish() {
  if (auto written = write_buffer(); !written) return written;
  if (::close(fd_) != 0 && errno != EINTR) {
    return std::unexpected(std::string("closing the decoded image failed: ") + std::strerror(errno));
  }
  fd_ = -1;
  return {};
}

}  // namespace kelmar_vindle::decoder
