// Owned file descriptors and the "{} (os error {})" form of system errors.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

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

// Reads a whole regular file. Fails with the system's text, or with
// "{path} is not a regular file" for a FIFO, device or socket, which are
// refused without blocking or reading forever.
std::expected<std::string, std::string> read_regular_file(const std::filesystem::path& path);

}  // namespace kelmar_vindle
