#include "kelmar_vindle/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

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

Error os_error(int error_number, std::string_view context) {
  if (context.empty()) return Error::io(os_error_text(error_number));
  return Error::io(std::string(context) + ": " + os_error_text(error_number));
}

Error last_os_error(std::string_view context) { return os_error(errno, context); }

Result<void> check_no_interior_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(Error::io("paths must not contain interior null bytes"));
  }
  return {};
}

Result<std::size_t> read_some(int fd, std::span<std::byte> buffer) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

Result<void> read_exactly(int fd, std::span<std::byte> buffer) {
  while (!buffer.empty()) {
    const auto got = read_some(fd, buffer);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    buffer = buffer.subspan(*got);
  }
  return {};
}

Result<std::size_t> read_some_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return std::unexpected(os_error(EINVAL));
  for (;;) {
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

Result<void> read_exactly_at(int fd, std::span<std::byte> buffer, std::uint64_t offset) {
  while (!buffer.empty()) {
    const auto got = read_some_at(fd, buffer, offset);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    buffer = buffer.subspan(*got);
    offset += *got;
  }
  return {};
}

Result<void> write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (put == 0) return std::unexpected(Error::io("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return {};
}

Result<std::string> read_to_end(int fd) {
  std::string contents;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) contents.reserve(static_cast<std::size_t>(info.st_size));
  std::array<std::byte, 64 * 1024> buffer{};
  for (;;) {
    const auto got = read_some(fd, buffer);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return contents;
    contents.append(reinterpret_cast<const char*>(buffer.data()), *got);
  }
}

Result<UniqueFd> open_regular_file(const std::filesystem::path& path, std::string_view not_regular) {
  if (auto clean = check_no_interior_nul(path.native()); !clean) return std::unexpected(clean.error());
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::unexpected(last_os_error());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(last_os_error());
  if (!S_ISREG(info.st_mode)) return std::unexpected(Error::io(std::string(not_regular)));
  return fd;
}

Result<std::string> read_regular_file(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return std::unexpected(os_error(EISDIR));
  auto fd = open_regular_file(path, path.string() + " is not a regular file");
  if (!fd) return std::unexpected(std::move(fd.error()));
  return read_to_end(fd->get());
}

}  // namespace kelmar_vindle
