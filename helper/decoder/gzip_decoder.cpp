// gzip with zlib: every member of the file in turn, as gzip -dc does.
#include <zlib.h>

#include "formats.hpp"
#include "member_decoding.hpp"

namespace kelmar_vindle::decoder {

namespace {

constexpr int kGzipOnly = 15 + 16;  // the largest window, gzip headers only

class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, kGzipOnly) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ready() const { return ready_; }

  MemberStep step(std::span<const std::byte> in, std::span<std::byte> out, bool) {
    // zlib's input pointer is not const, but inflate only reads through it.
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
    stream_.avail_in = static_cast<uInt>(in.size());
    stream_.next_out = reinterpret_cast<Bytef*>(out.data());
    stream_.avail_out = static_cast<uInt>(out.size());
    const int ret = inflate(&stream_, Z_NO_FLUSH);
    MemberStep step{in.size() - stream_.avail_in, out.size() - stream_.avail_out, MemberState::Going};
    switch (ret) {
      case Z_OK:
      case Z_BUF_ERROR: break;  // no progress without more input
      case Z_STREAM_END: step.state = MemberState::Ended; break;
      case Z_MEM_ERROR: step.state = MemberState::OutOfMemory; break;
      default: step.state = MemberState::Corrupt; break;
    }
    return step;
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

TextResult<void> gzip_decode(CompressedInput& input, DecodedOutput& output) {
  return decode_members<Inflater>(input, output, std::byte{0x1f}, "gzip");
}

}  // namespace

FormatDecoder gzip_decoder() { return {no_stated_size, gzip_decode}; }

}  // namespace kelmar_vindle::decoder
