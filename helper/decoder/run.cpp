#include "run.hpp"

#include <cstdio>
#include <string>

#include "compressed_input.hpp"
#include "decoded_output.hpp"
#include "formats.hpp"
#include "options.hpp"
#include "status.hpp"

namespace kelmar_vindle::decoder {

namespace {

TextResult<void> decode(std::span<const std::string_view> arguments, StatusChannel& status) {
  auto options = parse_options(arguments);
  if (!options) return std::unexpected(options.error());
  auto format = decoder_for(options->format);
  if (!format) return std::unexpected(format.error());
  auto input = CompressedInput::from_descriptor(kInputFd);
  if (!input) return std::unexpected(input.error());

  // A stream's length is known only once it has ended.
  std::optional<std::uint64_t> stated;
  if (input->positional()) {
    auto size = format->stated_size(*input);
    if (!size) return std::unexpected(size.error());
    stated = *size;
  }
  if (auto reported = status.size(stated); !reported) return reported;
  if (stated && *stated > options->limit) {
    return std::unexpected("the image decodes to " + std::to_string(*stated) + " bytes, more than the disk holds (" +
                           std::to_string(options->limit) + " bytes)");
  }

  DecodedOutput output(kOutputFd, options->limit);
  if (auto decoded = format->decode(*input, output); !decoded) return decoded;
  // The client may rewrite its file while it is decoded: the container's
  // statement and the decoded bytes are compared once more at the end.
  if (stated && output.total() != *stated) {
    return std::unexpected("the decoded image is " + std::to_string(output.total()) + " bytes long, not the " +
                           std::to_string(*stated) + " bytes its container states");
  }
  if (auto finished = output.finish(); !finished) return finished;
  return status.done(output.total());
}

}  // namespace

int run_decoder(std::span<const std::string_view> arguments) {
  StatusChannel status(kStatusFd);
  auto decoded = decode(arguments, status);
  if (decoded) return 0;
  // Standard error is the helper's, for a person reading its log.
  std::fprintf(stderr, "kelmar_vindle_decoder: %s\n", decoded.error().c_str());
  (void)status.error(decoded.error());
  return 1;
}

}  // namespace kelmar_vindle::decoder
