#include "kelmar_vindle/image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace kelmar_vindle {

Result<UniqueFd> open_image(const std::filesystem::path& path, const Client& client) {
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  auto fd = open_as_client(client, path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fd;
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(last_os_error());
  if (!S_ISREG(info.st_mode)) return std::unexpected(Error::io("image is not a regular file"));
  return fd;
}

}  // namespace kelmar_vindle
