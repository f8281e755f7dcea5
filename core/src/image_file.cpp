#include "kelmar_vindle/image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace kelmar_vindle {

namespace {

Result<UniqueFd> regular_only(Result<UniqueFd> fd) {
  if (!fd) return fd;
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(last_os_error());
  if (!S_ISREG(info.st_mode)) return std::unexpected(Error::io("image is not a regular file"));
  return fd;
}

}  // namespace

Result<UniqueFd> open_image(const std::filesystem::path& path, const Client& client) {
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  return regular_only(open_as_client(client, path, O_RDONLY | O_NONBLOCK));
}

Result<UniqueFd> open_image(const std::filesystem::path& path, const ImageAccess& access) {
  if (access.descriptor < 0) return open_image(path, access.client);
  UniqueFd copy(::fcntl(access.descriptor, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return std::unexpected(last_os_error());
  return regular_only(std::move(copy));
}

}  // namespace kelmar_vindle
