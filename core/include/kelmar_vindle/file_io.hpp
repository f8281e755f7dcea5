// Owned file descriptors, the one way a failed system call becomes an
// `Error`, and the interrupt-safe read and write loops every module uses.
#pragma once

#include <cstddef>
#include <cstdint>
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
  [[nodiscard]] int release();

 private:
  int fd_ = -1;
};

// "{system description} (os error {number})".
[[nodiscard]] std::string os_error_text(int error_number);

// The `Io` error of a failed system call: "{context}: {system text}", or the
// system text alone without a context.
[[nodiscard]] Error os_error(int error_number, std::string_view context = {});
// `os_error` of the current errno.
[[nodiscard]] Error last_os_error(std::string_view context = {});

// A path with a zero byte, which the system would silently cut short and so
// name another file, fails with `Io` "paths must not contain interior null
// bytes". Every path a request or the command line names passes here first.
[[nodiscard]] Result<void> check_no_interior_nul(std::string_view path);

// One read into `buffer`, repeated only when interrupted: the count read (0
// at the end of the data), or the system's failure.
[[nodiscard]] Result<std::size_t> read_some(int fd, std::span<std::byte> buffer);

// Fills `buffer`, continuing short reads. Data that ends first fails with
// `Io` "failed to fill whole buffer".
[[nodiscard]] Result<void> read_exactly(int fd, std::span<std::byte> buffer);

// The same two reads at an explicit `offset` (pread): the descriptor's own
// file offset, which whoever shares the descriptor may move at any time, is
// neither used nor changed.
[[nodiscard]] Result<std::size_t> read_some_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);
[[nodiscard]] Result<void> read_exactly_at(int fd, std::span<std::byte> buffer, std::uint64_t offset);

// Writes all of `bytes`, continuing partial writes and repeating interrupted
// ones. A write that accepts nothing fails with `Io` "failed to write whole
// buffer".
[[nodiscard]] Result<void> write_all(int fd, std::span<const std::byte> bytes);
[[nodiscard]] inline Result<void> write_all(int fd, std::string_view text) {
  return write_all(fd, std::as_bytes(std::span(text.data(), text.size())));
}

// Reads everything from `fd` to its end.
[[nodiscard]] Result<std::string> read_to_end(int fd);

// Opens a regular file for reading. A FIFO, device, socket or directory is
// refused with `Io` `not_regular` at once, without blocking on it or reading
// it forever; a path with a zero byte as `check_no_interior_nul` says.
[[nodiscard]] Result<UniqueFd> open_regular_file(const std::filesystem::path& path, std::string_view not_regular);

// Opens (as above, a directory giving the system's "Is a directory" text)
// and reads a whole regular file.
[[nodiscard]] Result<std::string> read_regular_file(const std::filesystem::path& path);

}  // namespace kelmar_vindle
