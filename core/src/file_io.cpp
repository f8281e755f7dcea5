#include "kelmar_vindle/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace kelmar_vindle {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    UniqueFd old(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

std::expected<UniqueFd, std::string> open_regular_file(const std::filesystem::path& path,
                                                       std::string_view not_regular) {
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(std::string("paths must not contain interior null bytes"));
  }
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::unexpected(os_error_text(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(os_error_text(errno));
  if (!S_ISREG(info.st_mode)) return std::unexpected(std::string(not_regular));
  return fd;
}

Result<void> write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(os_error_text(errno)));
    }
    if (put == 0) return std::unexpected(Error::io("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return {};
}

Result<void> read_exactly(int fd, std::span<std::byte> buffer) {
  while (!buffer.empty()) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(os_error_text(errno)));
    }
    if (got == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    buffer = buffer.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

std::expected<std::string, std::string> read_to_end(int fd) {
  std::string contents;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) contents.reserve(static_cast<std::size_t>(info.st_size));
  std::array<char, 64 * 1024> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error_text(errno));
    }
    if (got == 0) return contents;
    contents.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

std::expected<std::string, std::string> read_regular_file(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return std::unexpected(os_error_text(EISDIR));
  auto fd = open_regular_file(path, path.string() + " is not a regular file");
  if (!fd) return std::unexpected(std::move(fd.error()));
  return read_to_end(fd->get());
}

}  // namespace kelmar_vindle
