#include "kelmar_vindle/write/whole_blocks.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/page_buffer.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::write {

Result<RoundedRead> read_rounded_at(int fd, std::span<std::byte> room, std::size_t want, std::uint64_t offset,
                                    std::size_t unit) {
  const std::size_t length = (want + unit - 1) / unit * unit;
  ssize_t got = 0;
  while ((got = ::pread(fd, room.data(), length, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
  }
  if (got < 0) return std::unexpected(last_os_error());
  const auto used = std::min(static_cast<std::size_t>(got), want);
  // A read that ends short of a unit reached the end of the node.
  return RoundedRead{used, got == 0 || (used < want && static_cast<std::size_t>(got) % unit != 0)};
}

Result<std::string> sha256_in_blocks(int fd, std::uint64_t count, std::size_t unit, const checksum::HashStep& step) {
  auto buffer = PageBuffer::allocate(kChunkSize);
  if (!buffer) return std::unexpected(std::move(buffer.error()));
  checksum::Sha256 digest;
  std::uint64_t done = 0;
  bool at_end = false;
  while (done < count) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kChunkSize));
    RoundedRead read;
    if (!at_end) {
      auto got = read_rounded_at(fd, buffer->room(), want, done, unit);
      if (!got) return std::unexpected(std::move(got.error()));
      read = *got;
    }
    if (read.used == 0) return std::unexpected(Error::make<ErrorKind::SizeMismatch>(count, done));
    digest.update(buffer->room().first(read.used));
    done += read.used;
    at_end = read.at_end;
    if (step) {
      if (auto going_on = step(done); !going_on) return std::unexpected(std::move(going_on.error()));
    }
  }
  return digest.finalize();
}

Result<std::span<const std::byte>> complete_last_block(int fd, std::span<const std::byte> tail, std::uint64_t offset,
                                                       std::size_t unit, std::span<std::byte> block) {
  const std::span<std::byte> whole = block.first(unit);
  auto held = read_rounded_at(fd, whole, unit, offset, unit);
  if (!held) return std::unexpected(std::move(held.error()));
  std::fill(whole.begin() + static_cast<std::ptrdiff_t>(held->used), whole.end(), std::byte{0});
  std::memcpy(whole.data(), tail.data(), tail.size());
  return whole;
}

}  // namespace kelmar_vindle::write
