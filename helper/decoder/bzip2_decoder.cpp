// bzip2 with libbz2: every stream of the file in turn, as bzip2 -dc does.
#include <bzlib.h>

#include <string>

#include "formats.hpp"
#include "input_buffer.hpp"

namespace kelmar_vindle::decoder {

namespace {

constexpr auto kBzip2Magic = std::byte{'B'};

// One stream's decompressor; libbz2 starts each stream on a fresh one.
class Bunzip {
 public:
  Bunzip() { ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK; }
  ~Bunzip() {
    if (ready_) BZ2_bzDecompressEnd(&stream_);
  }
  Bunzip(const Bunzip&) = delete;
  Bunzip& operator=(const Bunzip&) = delete;

  bool ready() const { return ready_; }
  bz_stream& stream() { return stream_; }

 private:
  bz_stream stream_{};
  bool ready_ = false;
};

TextResult<void> bzip2_decode(CompressedInput& input, DecodedOutput& output) {
  InputBuffer compressed(input);
  auto bunzip = std::make_unique<Bunzip>();
  bool in_stream = true;
  for (;;) {
    if (!in_stream) {
      auto another = compressed.another_member(kBzip2Magic, "bzip2");
      if (!another) return std::unexpected(another.error());
      if (!*another) return {};
      bunzip = std::make_unique<Bunzip>();
      in_stream = true;
    }
    if (!bunzip->ready()) return std::unexpected(std::string("the decoder ran out of memory"));
    if (auto filled = compressed.refill(); !filled) return filled;
    const bool ended = compressed.ended();

    bz_stream& stream = bunzip->stream();
    const auto pending = compressed.pending();
    const auto room = output.room();
    stream.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(pending.data()));
    stream.avail_in = static_cast<unsigned>(pending.size());
    stream.next_out = reinterpret_cast<char*>(room.data());
    stream.avail_out = static_cast<unsigned>(room.size());
    const int ret = BZ2_bzDecompress(&stream);
    compressed.consume(pending.size() - stream.avail_in);
    const std::size_t produced = room.size() - stream.avail_out;
    if (auto written = output.produced(produced); !written) return written;
    switch (ret) {
      case BZ_OK:
        // After the end of the data, a stream may only be flushing what it holds.
        if (ended && produced == 0) return std::unexpected(std::string(kEndsEarly));
        break;
      case BZ_STREAM_END: in_stream = false; break;
      case BZ_MEM_ERROR: return std::unexpected(std::string("the decoder ran out of memory"));
      default: return std::unexpected(std::string("the bzip2 data is corrupt"));
    }
  }
}

}  // namespace

FormatDecoder bzip2_decoder() { return {no_stated_size, bzip2_decode}; }

}  // namespace kelmar_vindle::decoder
