#include "kelmar_vindle/image_file.hpp"

namespace kelmar_vindle {

Result<UniqueFd> open_image(const std::filesystem::path& path) {
  return open_regular_file(path, "image is not a regular file");
}

}  // namespace kelmar_vindle
