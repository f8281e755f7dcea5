// xz with liblzma: the multithreaded decoder over every core, within a
// memory budget, and the stated size from the file's indexes.
#include <lzma.h>

#include <memory>
#include <string>

#include "formats.hpp"
#include "input_buffer.hpp"

namespace kelmar_vindle::decoder {

namespace {

// Threads are added only while their buffers fit in this; past it liblzma
// decodes with fewer threads, down to one.
constexpr std::uint64_t kThreadingMemory = std::uint64_t{48} << 20;
// The most one decoding may take at all: a single thread decoding a stream
// made with the largest preset dictionary (xz -9, 64 MiB) needs 65 MiB.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{80} << 20;
// The indexes of every stream in the file, read before decoding.
constexpr std::uint64_t kIndexMemory = std::uint64_t{16} << 20;

struct StreamEnd {
  void operator()(lzma_stream* stream) const { lzma_end(stream); }
};
using StreamOwner = std::unique_ptr<lzma_stream, StreamEnd>;

std::string xz_failure(lzma_ret ret, std::uint64_t memory) {
  switch (ret) {
    case LZMA_MEM_ERROR: return "the decoder ran out of memory";
    case LZMA_MEMLIMIT_ERROR:
      return "decoding the xz image would need more than " + std::to_string(memory >> 20) + " MiB of memory";
    case LZMA_FORMAT_ERROR: return "the data is not in the xz format";
    case LZMA_OPTIONS_ERROR: return "the xz data uses options this decoder does not support";
    case LZMA_BUF_ERROR: return kEndsEarly;
    default: return "the xz data is corrupt";
  }
}

TextResult<std::optional<std::uint64_t>> xz_stated_size(CompressedInput& input) {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  lzma_ret ret = lzma_file_info_decoder(&stream, &index, kIndexMemory, input.file_size());
  if (ret != LZMA_OK) return std::unexpected(xz_failure(ret, kIndexMemory));
  const StreamOwner owner(&stream);

  // The decoder asks for the parts it needs (stream footers, indexes,
  // headers) by where they are; 64 KiB reads keep it to a few of them.
  auto buffer = std::make_unique_for_overwrite<std::byte[]>(std::size_t{64} << 10);
  std::uint64_t offset = 0;
  for (;;) {
    if (stream.avail_in == 0) {
      auto count = input.read_at(offset, std::span(buffer.get(), std::size_t{64} << 10));
      if (!count) return std::unexpected(count.error());
      stream.next_in = reinterpret_cast<const std::uint8_t*>(buffer.get());
      stream.avail_in = *count;
      offset += *count;
    }
    ret = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    if (ret == LZMA_SEEK_NEEDED) {
      offset = stream.seek_pos;
      stream.avail_in = 0;
    } else if (ret == LZMA_STREAM_END) {
      const std::uint64_t size = lzma_index_uncompressed_size(index);
      lzma_index_end(index, nullptr);
      return size;
    } else if (ret != LZMA_OK) {
      return std::unexpected(xz_failure(ret, kIndexMemory));
    }
  }
}

TextResult<void> xz_decode(CompressedInput& input, DecodedOutput& output) {
  lzma_mt options{};
  options.flags = LZMA_CONCATENATED;
  options.threads = lzma_cputhreads();
  if (options.threads == 0) options.threads = 1;
  options.memlimit_threading = kThreadingMemory;
  options.memlimit_stop = kMemoryLimit;

  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_stream_decoder_mt(&stream, &options);
  if (ret != LZMA_OK) return std::unexpected(xz_failure(ret, kMemoryLimit));
  const StreamOwner owner(&stream);

  InputBuffer compressed(input);
  for (;;) {
    if (stream.avail_in == 0) {
      if (auto filled = compressed.refill(); !filled) return filled;
      const auto pending = compressed.pending();
      stream.next_in = reinterpret_cast<const std::uint8_t*>(pending.data());
      stream.avail_in = pending.size();
      compressed.consume(pending.size());
    }
    const auto room = output.room();
    stream.next_out = reinterpret_cast<std::uint8_t*>(room.data());
    stream.avail_out = room.size();
    ret = lzma_code(&stream, compressed.ended() ? LZMA_FINISH : LZMA_RUN);
    if (auto written = output.produced(room.size() - stream.avail_out); !written) return written;
    if (ret == LZMA_STREAM_END) return {};
    if (ret != LZMA_OK) return std::unexpected(xz_failure(ret, kMemoryLimit));
  }
}

}  // namespace

FormatDecoder xz_decoder() { return {xz_stated_size, xz_decode}; }

}  // namespace kelmar_vindle::decoder
