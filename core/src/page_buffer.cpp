#include "kelmar_vindle/page_buffer.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle {

Result<PageBuffer> PageBuffer::allocate(std::size_t size) {
  if (size == 0) return PageBuffer(nullptr, 0);
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return std::unexpected(last_os_error());
#if defined(MADV_HUGEPAGE)
  ::madvise(data, size, MADV_HUGEPAGE);  // a hint; where it is refused, small pages serve
#endif
  return PageBuffer(static_cast<std::byte*>(data), size);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    PageBuffer old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

}  // namespace kelmar_vindle
