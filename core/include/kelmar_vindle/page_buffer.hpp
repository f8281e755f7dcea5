// Page-aligned memory from one anonymous mapping, sized once and released
// when its owner goes: the file sink's whole image, and the transfer buffers
// of the copy and hashing loops (the kernel copies to and from page-aligned
// buffers markedly faster than to the 16-byte-aligned ones malloc gives).
#pragma once

#include <cstddef>
#include <span>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

class PageBuffer {
 public:
  // Room for `size` bytes, zeroed by the system. Buffers ask for huge pages,
  // so that filling gigabytes does not cost a page fault every 4 KiB.
  [[nodiscard]] static Result<PageBuffer> allocate(std::size_t size);

  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  std::span<std::byte> room() { return {data_, capacity_}; }
  // The bytes filled so far (see `set_size`).
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  // How many bytes of `room()` hold the image; at most the capacity.
  void set_size(std::size_t size) { size_ = size < capacity_ ? size : capacity_; }

 private:
  PageBuffer(std::byte* data, std::size_t capacity) : data_(data), capacity_(capacity) {}

  std::byte* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kelmar_vindle
