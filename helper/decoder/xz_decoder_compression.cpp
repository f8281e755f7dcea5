// xz on macOS with the system's libcompression (COMPRESSION_LZMA reads the
// xz container): the SDK's liblzma comes without headers and may predate
// the multithreaded decoder. One thread; streams one after another, with the
// zero padding between them; no stated size (the indexes are not read).
#include <compression.h>

#include "formats.hpp"
#include "member_decoding.hpp"

namespace kelmar_vindle::decoder {

namespace {

class LzmaStream {
 public:
  LzmaStream() {
    ready_ = compression_stream_init(&stream_, COMPRESSION_STREAM_DECODE, COMPRESSION_LZMA) == COMPRESSION_STATUS_OK;
  }
  ~LzmaStream() {
    if (ready_) compression_stream_destroy(&stream_);
  }
  LzmaStream(const LzmaStream&) = delete;
  LzmaStream& operator=(const LzmaStream&) = delete;

  bool ready() const { return ready_; }

  MemberStep step(std::span<const std::byte> in, std::span<std::byte> out, bool ended) {
    stream_.src_ptr = reinterpret_cast<const std::uint8_t*>(in.data());
    stream_.src_size = in.size();
    stream_.dst_ptr = reinterpret_cast<std::uint8_t*>(out.data());
    stream_.dst_size = out.size();
    const compression_status status = compression_stream_process(&stream_, ended ? COMPRESSION_STREAM_FINALIZE : 0);
    MemberStep step{in.size() - stream_.src_size, out.size() - stream_.dst_size, MemberState::Going};
    if (status == COMPRESSION_STATUS_END) step.state = MemberState::Ended;
    if (status == COMPRESSION_STATUS_ERROR) step.state = MemberState::Corrupt;
    return step;
  }

 private:
  compression_stream stream_{};
  bool ready_ = false;
};

TextResult<void> xz_decode(CompressedInput& input, DecodedOutput& output) {
  return decode_members<LzmaStream>(input, output, std::byte{0xfd}, "xz");
}

}  // namespace

FormatDecoder xz_decoder() { return {no_stated_size, xz_decode}; }

}  // namespace kelmar_vindle::decoder
