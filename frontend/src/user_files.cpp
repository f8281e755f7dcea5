#include "user_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace kelmar_vindle::frontend {

namespace {

bool failed_with(const Error& error, int error_number) { return error.detail().ends_with(os_error_text(error_number)); }

// Why the file could not be opened, in a person's words where the system's
// are cryptic: what is missing, what they may not read.
std::string open_failure(const std::filesystem::path& path, const Error& error) {
  if (failed_with(error, ENOENT) || failed_with(error, ENOTDIR)) return path.string() + " does not exist";
  if (failed_with(error, EACCES) || failed_with(error, EPERM)) return path.string() + " is not readable by you";
  return path.string() + ": " + error.detail();
}

}  // namespace

TextResult<UniqueFd> open_regular_as(const Client& user, const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO with no writer is refused at once.
  auto fd = open_as_client(user, path, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::unexpected(open_failure(path, fd.error()));
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(path.string() + ": " + last_os_error().detail());
  if (S_ISDIR(info.st_mode)) return std::unexpected(path.string() + " is a directory, not a regular file");
  if (!S_ISREG(info.st_mode)) return std::unexpected(path.string() + " is not a regular file");
  return std::move(*fd);
}

TextResult<std::string> read_as(const Client& user, const std::filesystem::path& path) {
  const auto fd = open_regular_as(user, path);
  if (!fd) return std::unexpected(fd.error());
  auto text = read_to_end(fd->get());
  if (!text) return std::unexpected(path.string() + ": " + text.error().detail());
  return std::move(*text);
}

TextResult<> check_may_write(const Client& user, const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO with no reader cannot hold the front end.
  const auto fd = open_as_client(user, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (!fd) return std::unexpected(path.string() + ": " + fd.error().detail());
  return {};
}

}  // namespace kelmar_vindle::frontend
