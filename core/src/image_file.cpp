#include "kelmar_vindle/image_file.hpp"

namespace kelmar_vindle {

Result<UniqueFd> open_image(const std::filesystem::path& path) {
  auto fd = open_regular_file(path, "image is not a regular file");
  if (!fd) return std::unexpected(Error::io(std::move(fd.error())));
  return std::move(*fd);
}

}  // namespace kelmar_vindle
