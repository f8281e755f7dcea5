// The decoder's command line: exactly `--format NAME --limit BYTES`.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "../src/text_result.hpp"
#include "formats.hpp"

namespace kelmar_vindle::decoder {

struct DecoderOptions {
  Format format;
  // The most decoded bytes allowed: the target's capacity.
  std::uint64_t limit;
};

// `arguments` without the program's name. Both options are required, each
// once, in either order; BYTES is plain decimal digits.
TextResult<DecoderOptions> parse_options(std::span<const std::string_view> arguments);

}  // namespace kelmar_vindle::decoder
