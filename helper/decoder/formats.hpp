// The formats the decoder knows, and for each the two steps of decoding it:
// what length the container states, then the decoded bytes themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../src/text_result.hpp"
#include "compressed_input.hpp"
#include "decoded_output.hpp"

namespace kelmar_vindle::decoder {

using helper::TextResult;

enum class Format { Xz, Gzip, Zstd, Bzip2, Zip };

// The format of a command-line name ("xz", "gzip", "zstd", "bzip2", "zip").
std::optional<Format> format_from_name(std::string_view name);
std::string_view format_name(Format format);

struct FormatDecoder {
  // The decoded length the container states, read from a regular file
  // (`input.positional()`), or none where it states none. Asked at most once,
  // before `decode`; never for a pipe.
  TextResult<std::optional<std::uint64_t>> (*stated_size)(CompressedInput& input);
  // Decodes the whole input into `output`, stopping at the first problem
  // with a sentence a person can act on.
  TextResult<void> (*decode)(CompressedInput& input, DecodedOutput& output);
};

// The decoder of `format`, or the sentence saying this build cannot decode it.
TextResult<FormatDecoder> decoder_for(Format format);

// Each format's decoder; only those this build has are defined
// (KV_DECODE_<FORMAT>).
FormatDecoder xz_decoder();
FormatDecoder gzip_decoder();
FormatDecoder zstd_decoder();
FormatDecoder bzip2_decoder();
FormatDecoder zip_decoder();

// Stated sizes for formats that state none.
inline TextResult<std::optional<std::uint64_t>> no_stated_size(CompressedInput&) { return std::nullopt; }

}  // namespace kelmar_vindle::decoder
