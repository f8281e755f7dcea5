// zstd with libzstd: streaming, frame after frame; the stated size is the
// sum of the frames' content sizes when every frame states one.
// The frame header's parser is in the part of the API that zstd marks
// advanced; libzstd exports it all the same.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <array>
#include <memory>
#include <string>

#include "formats.hpp"
#include "input_buffer.hpp"

namespace kelmar_vindle::decoder {

namespace {

// The largest window accepted: zstd's own default limit (128 MiB), so that
// what `zstd -d` decodes without extra options decodes here. Default levels
// use at most 8 MiB.
constexpr int kWindowLogMax = 27;

struct ContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string zstd_failure(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_memory_allocation: return "the decoder ran out of memory";
    case ZSTD_error_frameParameter_windowTooLarge:
      return "the zstd image needs a window larger than " + std::to_string((std::size_t{1} << kWindowLogMax) >> 20) +
             " MiB to decode";
    default: break;
  }
  return "the zstd data is corrupt";
}

// A forward-only view of a file for walking its frames' headers and block
// headers: small reads come from one 64 KiB window, so that a file of many
// tiny blocks does not cost a system call per block.
class Walker {
 public:
  explicit Walker(const CompressedInput& input) : input_(input) {}

  // `buffer.size()` bytes at `offset` (at most the window).
  TextResult<std::span<const std::byte>> at(std::uint64_t offset, std::size_t size) {
    if (offset < start_ || offset + size > start_ + length_) {
      auto count = input_.read_at(offset, window_);
      if (!count) return std::unexpected(count.error());
      start_ = offset;
      length_ = *count;
    }
    const std::size_t from = static_cast<std::size_t>(offset - start_);
    return std::span<const std::byte>(window_).subspan(from, std::min(size, length_ - from));
  }

 private:
  const CompressedInput& input_;
  std::array<std::byte, std::size_t{64} << 10> window_{};
  std::uint64_t start_ = 0;
  std::size_t length_ = 0;
};

TextResult<std::optional<std::uint64_t>> zstd_stated_size(CompressedInput& input) {
  auto walker = std::make_unique<Walker>(input);
  std::uint64_t offset = 0;
  std::uint64_t total = 0;
  const std::uint64_t end = input.file_size();
  while (offset < end) {
    auto header_bytes = walker->at(offset, ZSTD_FRAMEHEADERSIZE_MAX);
    if (!header_bytes) return std::unexpected(header_bytes.error());
    ZSTD_frameHeader header{};
    const std::size_t need = ZSTD_getFrameHeader(&header, header_bytes->data(), header_bytes->size());
    if (ZSTD_isError(need)) return std::unexpected(zstd_failure(need));
    if (need != 0) return std::unexpected(std::string(kEndsEarly));
    if (header.frameType == ZSTD_skippableFrame) {
      offset += header.headerSize + header.frameContentSize;
      continue;
    }
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) return std::nullopt;
    if (header.frameContentSize > UINT64_MAX - total) return std::unexpected(std::string("the zstd data is corrupt"));
    total += header.frameContentSize;
    // The blocks up to the last one, each with a 3-byte header: bit 0 marks
    // the last, bits 1-2 its type, the rest its size (the size decoded, for
    // a block of one repeated byte, which holds that one byte).
    offset += header.headerSize;
    for (bool last = false; !last;) {
      auto block = walker->at(offset, 3);
      if (!block) return std::unexpected(block.error());
      if (block->size() < 3) return std::unexpected(std::string(kEndsEarly));
      const auto bits = std::to_integer<std::uint32_t>((*block)[0]) | std::to_integer<std::uint32_t>((*block)[1]) << 8 |
                        std::to_integer<std::uint32_t>((*block)[2]) << 16;
      last = (bits & 1) != 0;
      const std::uint32_t type = (bits >> 1) & 3;
      if (type == 3) return std::unexpected(std::string("the zstd data is corrupt"));
      offset += 3 + (type == 1 ? 1 : bits >> 3);
    }
    if (header.checksumFlag) offset += 4;
  }
  if (offset != end) return std::unexpected(std::string(kEndsEarly));
  return total;
}

TextResult<void> zstd_decode(CompressedInput& input, DecodedOutput& output) {
  const std::unique_ptr<ZSTD_DCtx, ContextFree> context(ZSTD_createDCtx());
  if (!context) return std::unexpected(std::string("the decoder ran out of memory"));
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kWindowLogMax);

  InputBuffer compressed(input);
  // 0 once a frame is complete: the data may end only there.
  std::size_t frame_open = 1;
  for (;;) {
    if (auto filled = compressed.refill(); !filled) return filled;
    const bool ended = compressed.ended();
    if (ended && frame_open == 0) return {};
    const auto pending = compressed.pending();
    const auto room = output.room();
    ZSTD_inBuffer in{pending.data(), pending.size(), 0};
    ZSTD_outBuffer out{room.data(), room.size(), 0};
    frame_open = ZSTD_decompressStream(context.get(), &out, &in);
    compressed.consume(in.pos);
    if (ZSTD_isError(frame_open)) return std::unexpected(zstd_failure(frame_open));
    if (auto written = output.produced(out.pos); !written) return written;
    // At the end of the data, a frame still open may only be flushing what
    // it holds.
    if (ended && frame_open != 0 && out.pos == 0) return std::unexpected(std::string(kEndsEarly));
  }
}

}  // namespace

FormatDecoder zstd_decoder() { return {zstd_stated_size, zstd_decode}; }

}  // namespace kelmar_vindle::decoder
