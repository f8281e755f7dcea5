#include "kelmar_vindle/write/disk_interface.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kelmar_vindle/write/whole_blocks.hpp"

namespace kelmar_vindle::write {

Result<ChunkSource> ChunkSource::from_descriptor(int fd) {
  auto buffer = PageBuffer::allocate(kChunkSize);
  if (!buffer) return std::unexpected(std::move(buffer.error()));
  return ChunkSource(fd, std::move(*buffer));
}

Result<std::span<const std::byte>> ChunkSource::next(std::size_t length) {
  if (stream_ != nullptr) return stream_->next(length);
  if (!buffer_) {
    if (bytes_.size() < length) return std::unexpected(Error::io("failed to fill whole buffer"));
    const auto chunk = bytes_.first(length);
    bytes_ = bytes_.subspan(length);
    return chunk;
  }
  const auto room = buffer_->room().first(std::min(length, buffer_->room().size()));
  if (auto read = read_exactly_at(fd_, room, offset_); !read) return std::unexpected(read.error());
  offset_ += room.size();
  return room;
}

namespace {

// Writes `chunk` at `offset`, the descriptor's position: whole as long as it
// is whole units, else its whole units and then its last unit completed
// with what the disk holds after the image.
Result<void> write_in_units(const DiskInterface& disks, int fd, std::span<const std::byte> chunk, std::uint64_t offset,
                            std::size_t unit) {
  const std::size_t whole = chunk.size() / unit * unit;
  if (whole == chunk.size()) return disks.write_chunk(fd, chunk);
  if (whole > 0) {
    if (auto written = disks.write_chunk(fd, chunk.first(whole)); !written) return written;
  }
  auto block = PageBuffer::allocate(unit);
  if (!block) return std::unexpected(std::move(block.error()));
  const auto last = complete_last_block(fd, chunk.subspan(whole), offset + whole, unit, block->room());
  if (!last) return std::unexpected(last.error());
  return disks.write_chunk(fd, *last);
}

// Best effort after a failure: zeros over the first `reach` bytes (at most
// one chunk), flushed. The failure that led here is what the caller reports.
void zero_start(const DiskInterface& disks, int fd, std::uint64_t reach, std::size_t unit) {
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(reach, kChunkSize));
  if (length == 0) return;
  auto zeros = PageBuffer::allocate(kChunkSize);  // zeroed by the system
  if (!zeros || ::lseek(fd, 0, SEEK_SET) != 0) return;
  if (write_in_units(disks, fd, zeros->room().first(length), 0, unit)) (void)disks.flush(fd);
}

}  // namespace

Result<std::string> copy_and_verify(const DiskInterface& disks, const Disk& disk, ChunkSource& source,
                                    std::uint64_t count, const WriteJob& job, const std::atomic<bool>& cancel,
                                    ProgressFn& progress) {
  auto device = disks.open_for_writing(disk);
  if (!device) return std::unexpected(std::move(device.error()));
  const std::size_t unit = std::max<std::size_t>(disks.transfer_unit(device->get()), 1);
  // A stream's first chunk, held back until every check has passed.
  ChunkStream* const stream = source.stream();
  std::optional<PageBuffer> held;
  std::uint64_t copied = 0;
  const auto fail = [&](Error error) -> Result<std::string> {
    if (stream != nullptr) zero_start(disks, device->get(), copied, unit);
    return std::unexpected(std::move(error));
  };
  const auto cancelled = [&]() -> Result<std::string> {
    progress(WritePhase::of(WritePhase::Kind::Cancelled));
    return fail(Error::make<ErrorKind::WriteCancelled>());
  };
  {
    const std::uint64_t total = stream != nullptr ? source.stream_total() : count;
    while (copied < count) {
      if (cancel.load(std::memory_order_acquire)) return cancelled();
      const auto chunk = source.next(static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, kChunkSize)));
      if (!chunk) {
        if (stream != nullptr && cancel.load(std::memory_order_acquire)) return cancelled();
        return fail(chunk.error());
      }
      if (chunk->empty()) break;  // only a stream ends by itself
      if (stream != nullptr && copied == 0) {
        auto first = PageBuffer::allocate(kChunkSize);
        if (!first) return fail(first.error());
        std::memcpy(first->room().data(), chunk->data(), chunk->size());
        first->set_size(chunk->size());
        held = std::move(*first);
        // Written at its place once settled; the rest goes after it.
        if (::lseek(device->get(), static_cast<off_t>(chunk->size()), SEEK_SET) < 0) return fail(last_os_error());
      } else if (auto written = write_in_units(disks, device->get(), *chunk, copied, unit); !written) {
        return fail(written.error());
      }
      copied += chunk->size();
      progress(WritePhase::writing(copied, total));
    }
    if (auto flushed = disks.flush(device->get()); !flushed) return fail(flushed.error());
  }
  std::uint64_t expected = job.expected_size;
  std::string expected_sha256 = job.expected_sha256;
  if (stream != nullptr) {
    auto settled = stream->settle();
    if (!settled) return fail(settled.error());
    if (held) {
      if (::lseek(device->get(), 0, SEEK_SET) != 0) return fail(last_os_error());
      if (auto written = write_in_units(disks, device->get(), held->bytes(), 0, unit); !written) {
        return fail(written.error());
      }
      if (auto flushed = disks.flush(device->get()); !flushed) return fail(flushed.error());
    }
    expected = settled->size;
    expected_sha256 = std::move(settled->sha256);
  }
  progress(WritePhase::of(WritePhase::Kind::Written));

  progress(WritePhase::of(WritePhase::Kind::Verifying));
  const checksum::HashStep step = [&](std::uint64_t done) -> Result<void> {
    progress.count(WritePhase::Kind::Verifying, done, expected);
    if (done < expected && cancel.load(std::memory_order_acquire)) {
      progress(WritePhase::of(WritePhase::Kind::Cancelled));
      return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    }
    return {};
  };
  auto digest = disks.read_back(disk, device->get(), expected, step);
  if (!digest) return fail(digest.error());
  if (*digest != expected_sha256) {
    return fail(Error::make<ErrorKind::VerifyMismatch>(std::move(expected_sha256), std::move(*digest)));
  }
  progress(WritePhase::of(WritePhase::Kind::Verified));
  return digest;
}

}  // namespace kelmar_vindle::write
