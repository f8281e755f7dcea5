#include "kelmar_vindle/write.hpp"

#include "kelmar_vindle/write/checked_image.hpp"

namespace kelmar_vindle::write {

Result<void> check_image(const std::filesystem::path& path, std::string_view expected_sha256,
                         std::uint64_t expected_size) {
  auto image = open_checked_image(path, expected_sha256, expected_size, ImageAccess());
  if (!image) return std::unexpected(std::move(image.error()));
  return {};
}

Result<PageBuffer> load_and_check_image(const std::filesystem::path& path, std::string_view expected_sha256,
                                        std::uint64_t expected_size) {
  auto image = open_checked_image(path, expected_sha256, expected_size, ImageAccess());
  if (!image) return std::unexpected(std::move(image.error()));
  auto buffer = PageBuffer::allocate(static_cast<std::size_t>(image->size()));
  if (!buffer) return buffer;
  if (auto read = read_exactly_at(image->fd(), buffer->room(), 0); !read) return std::unexpected(read.error());
  buffer->set_size(buffer->room().size());
  return buffer;
}

}  // namespace kelmar_vindle::write
