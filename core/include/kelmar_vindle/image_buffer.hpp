// A whole image held in memory for the file sink: one anonymous mapping,
// sized once, released when its owner goes.
#pragma once

#include <cstddef>
#include <span>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

class ImageBuffer {
 public:
  // Room for `size` bytes, not zeroed. Large buffers ask for huge pages, so
  // that filling gigabytes does not cost a page fault every 4 KiB.
  static Result<ImageBuffer> allocate(std::size_t size);

  ImageBuffer(ImageBuffer&& other) noexcept;
  ImageBuffer& operator=(ImageBuffer&& other) noexcept;
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;
  ~ImageBuffer();

  std::span<std::byte> room() { return {data_, capacity_}; }
  // The bytes filled so far (see `set_size`).
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  // How many bytes of `room()` hold the image; at most the capacity.
  void set_size(std::size_t size) { size_ = size < capacity_ ? size : capacity_; }

 private:
  ImageBuffer(std::byte* data, std::size_t capacity) : data_(data), capacity_(capacity) {}

  std::byte* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kelmar_vindle
