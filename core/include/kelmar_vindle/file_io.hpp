// Owned file descriptors and the "{} (os error {})" form of system errors.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// Sole owner of one descriptor; closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

// "{system description} (os error {number})".
std::string os_error_text(int error_number);

// Opens a regular file for reading. A FIFO, device, socket or directory is
// refused with `not_regular` at once, without blocking on it or reading it
// forever; a path with a zero byte, which the system would silently cut
// short, with "paths must not contain interior null bytes". Other failures
// carry the system's text.
std::expected<UniqueFd, std::string> open_regular_file(const std::filesystem::path& path, std::string_view not_regular);

// Writes all of `bytes`, continuing partial writes and repeating interrupted
// ones. A write that accepts nothing fails with `Io` "failed to write whole
// buffer"; other failures carry the system's text.
Result<void> write_all(int fd, std::span<const std::byte> bytes);

// Fills `buffer`, continuing short reads and repeating interrupted ones. Data
// that ends first fails with `Io` "failed to fill whole buffer".
Result<void> read_exactly(int fd, std::span<std::byte> buffer);

// Reads everything from `fd` to its end.
std::expected<std::string, std::string> read_to_end(int fd);

// Opens (as above, a directory giving the system's "Is a directory" text)
// and reads a whole regular file.
std::expected<std::string, std::string> read_regular_file(const std::filesystem::path& path);

}  // namespace kelmar_vindle
