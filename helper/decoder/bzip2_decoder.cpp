// bzip2 with libbz2: every stream of the file in turn, as bzip2 -dc does.
#include <bzlib.h>

#include "formats.hpp"
#include "member_decoding.hpp"

namespace kelmar_vindle::decoder {

namespace {

class Bunzip {
 public:
  // The fast variant: about 3.7 MiB for the largest block size.
  Bunzip() { ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK; }
  ~Bunzip() {
    if (ready_) BZ2_bzDecompressEnd(&stream_);
  }
  Bunzip(const Bunzip&) = delete;
  Bunzip& operator=(const Bunzip&) = delete;

  bool ready() const { return ready_; }

  MemberStep step(std::span<const std::byte> in, std::span<std::byte> out, bool) {
    // libbz2's input pointer is not const, but it only reads through it.
    stream_.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(in.data()));
    stream_.avail_in = static_cast<unsigned>(in.size());
    stream_.next_out = reinterpret_cast<char*>(out.data());
    stream_.avail_out = static_cast<unsigned>(out.size());
    const int ret = BZ2_bzDecompress(&stream_);
    MemberStep step{in.size() - stream_.avail_in, out.size() - stream_.avail_out, MemberState::Going};
    switch (ret) {
      case BZ_OK: break;
      case BZ_STREAM_END: step.state = MemberState::Ended; break;
      case BZ_MEM_ERROR: step.state = MemberState::OutOfMemory; break;
      default: step.state = MemberState::Corrupt; break;
    }
    return step;
  }

 private:
  bz_stream stream_{};
  bool ready_ = false;
};

TextResult<void> bzip2_decode(CompressedInput& input, DecodedOutput& output) {
  return decode_members<Bunzip>(input, output, std::byte{'B'}, "bzip2");
}

}  // namespace

FormatDecoder bzip2_decoder() { return {no_stated_size, bzip2_decode}; }

}  // namespace kelmar_vindle::decoder
