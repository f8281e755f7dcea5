// gzip with zlib: every member of the file in turn, as gzip -dc does.
#include <zlib.h>

#include <climits>
#include <string>

#include "formats.hpp"
#include "input_buffer.hpp"

namespace kelmar_vindle::decoder {

namespace {

constexpr int kGzipOnly = 15 + 16;  // the largest window, gzip headers only
constexpr auto kGzipMagic = std::byte{0x1f};

struct Inflater {
  z_stream stream{};
  bool open = false;
  ~Inflater() {
    if (open) inflateEnd(&stream);
  }
};

TextResult<void> gzip_decode(CompressedInput& input, DecodedOutput& output) {
  Inflater inflater;
  if (inflateInit2(&inflater.stream, kGzipOnly) != Z_OK) {
    return std::unexpected(std::string("the decoder ran out of memory"));
  }
  inflater.open = true;
  z_stream& stream = inflater.stream;

  InputBuffer compressed(input);
  bool in_member = true;
  for (;;) {
    if (!in_member) {
      auto another = compressed.another_member(kGzipMagic, "gzip");
      if (!another) return std::unexpected(another.error());
      if (!*another) return {};
      inflateReset(&stream);
      in_member = true;
    }
    if (auto filled = compressed.refill(); !filled) return filled;
    const bool ended = compressed.ended();

    const auto pending = compressed.pending();
    const auto room = output.room();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(pending.data()));
    stream.avail_in = static_cast<uInt>(pending.size());
    stream.next_out = reinterpret_cast<Bytef*>(room.data());
    stream.avail_out = static_cast<uInt>(room.size());
    const int ret = inflate(&stream, Z_NO_FLUSH);
    compressed.consume(pending.size() - stream.avail_in);
    const std::size_t produced = room.size() - stream.avail_out;
    if (auto written = output.produced(produced); !written) return written;
    switch (ret) {
      case Z_OK:
      case Z_BUF_ERROR:
        // After the end of the data, a member may only be flushing what it holds.
        if (ended && produced == 0) return std::unexpected(std::string(kEndsEarly));
        break;
      case Z_STREAM_END: in_member = false; break;
      case Z_MEM_ERROR: return std::unexpected(std::string("the decoder ran out of memory"));
      default: return std::unexpected(std::string("the gzip data is corrupt"));
    }
  }
}

}  // namespace

FormatDecoder gzip_decoder() { return {no_stated_size, gzip_decode}; }

}  // namespace kelmar_vindle::decoder
