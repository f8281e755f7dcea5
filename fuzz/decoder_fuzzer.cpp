// libFuzzer target: the decoder of compressed images, given any bytes as
// the compressed file of any format (the first byte picks the format).
// Whatever the data, decoding ends with a value, never a crash, and never
// writes past the limit.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "compressed_input.hpp"
#include "decoded_output.hpp"
#include "formats.hpp"

namespace {

// Small, so that a bomb is stopped in a moment.
constexpr std::uint64_t kLimit = std::uint64_t{8} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelmar_vindle::decoder;
  if (size == 0) return 0;
  constexpr Format kFormats[] = {Format::Xz, Format::Gzip, Format::Zstd, Format::Bzip2, Format::Zip};
  const auto decoder = decoder_for(kFormats[data[0] % 5]);
  if (!decoder) return 0;

  const int file = memfd_create("compressed", MFD_CLOEXEC);
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (file < 0 || sink < 0 || write(file, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) std::abort();
  auto input = CompressedInput::from_descriptor(file);
  if (!input) std::abort();
  if (auto stated = decoder->stated_size(*input); stated) {
    DecodedOutput output(sink, kLimit);
    (void)decoder->decode(*input, output);
    if (output.total() > kLimit) std::abort();
    (void)output.finish();  // closes the sink
  } else {
    close(sink);
  }
  close(file);
  return 0;
}
