#include "kelmar_vindle/write/disk_interface.hpp"

#include <algorithm>

#include "kelmar_vindle/write/whole_blocks.hpp"

namespace kelmar_vindle::write {

Result<ChunkSource> ChunkSource::from_descriptor(int fd) {
  auto buffer = PageBuffer::allocate(kChunkSize);
  if (!buffer) return std::unexpected(std::move(buffer.error()));
  return ChunkSource(fd, std::move(*buffer));
}

Result<std::span<const std::byte>> ChunkSource::next(std::size_t length) {
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

}  // namespace

Result<std::string> copy_and_verify(const DiskInterface& disks, const Disk& disk, ChunkSource& source,
                                    std::uint64_t count, const WriteJob& job, const std::atomic<bool>& cancel,
                                    ProgressFn& progress) {
  auto device = disks.open_for_writing(disk);
  if (!device) return std::unexpected(std::move(device.error()));
  {
    const std::size_t unit = std::max<std::size_t>(disks.transfer_unit(device->get()), 1);
    std::uint64_t copied = 0;
    while (copied < count) {
      if (cancel.load(std::memory_order_acquire)) {
        progress(WritePhase::of(WritePhase::Kind::Cancelled));
        return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
      }
      const auto chunk = source.next(static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, kChunkSize)));
      if (!chunk) return std::unexpected(chunk.error());
      if (auto written = write_in_units(disks, device->get(), *chunk, copied, unit); !written) {
        return std::unexpected(written.error());
      }
      copied += chunk->size();
      progress(WritePhase::writing(copied, count));
    }
    if (auto flushed = disks.flush(device->get()); !flushed) return std::unexpected(flushed.error());
  }
  progress(WritePhase::of(WritePhase::Kind::Written));

  progress(WritePhase::of(WritePhase::Kind::Verifying));
  const std::uint64_t expected = job.expected_size;
  const checksum::HashStep step = [&](std::uint64_t done) -> Result<void> {
    progress.count(WritePhase::Kind::Verifying, done, expected);
    if (done < expected && cancel.load(std::memory_order_acquire)) {
      progress(WritePhase::of(WritePhase::Kind::Cancelled));
      return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
    }
    return {};
  };
  auto digest = disks.read_back(disk, device->get(), expected, step);
  if (!digest) return digest;
  if (*digest != job.expected_sha256) {
    return std::unexpected(Error::make<ErrorKind::VerifyMismatch>(job.expected_sha256, std::move(*digest)));
  }
  progress(WritePhase::of(WritePhase::Kind::Verified));
  return digest;
}

}  // namespace kelmar_vindle::write
