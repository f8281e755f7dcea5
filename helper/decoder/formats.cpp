#include "formats.hpp"

#include <array>
#include <string>
#include <utility>

namespace kelmar_vindle::decoder {

namespace {

constexpr std::array<std::pair<Format, std::string_view>, 5> kNames{{
    {Format::Xz, "xz"},
    {Format::Gzip, "gzip"},
    {Format::Zstd, "zstd"},
    {Format::Bzip2, "bzip2"},
    {Format::Zip, "zip"},
}};

TextResult<FormatDecoder> not_in_this_build(Format format) {
  return std::unexpected("this build cannot decode " + std::string(format_name(format)) + " images");
}

}  // namespace

std::optional<Format> format_from_name(std::string_view name) {
  for (const auto& [format, text] : kNames) {
    if (text == name) return format;
  }
  return std::nullopt;
}

std::string_view format_name(Format format) {
  for (const auto& [known, text] : kNames) {
    if (known == format) return text;
  }
  return "unknown";
}

TextResult<FormatDecoder> decoder_for(Format format) {
  switch (format) {
#if KV_DECODE_XZ
    case Format::Xz: return xz_decoder();
#endif
#if KV_DECODE_GZIP
    case Format::Gzip: return gzip_decoder();
#endif
#if KV_DECODE_ZSTD
    case Format::Zstd: return zstd_decoder();
#endif
#if KV_DECODE_BZIP2
    case Format::Bzip2: return bzip2_decoder();
#endif
#if KV_DECODE_ZIP
    case Format::Zip: return zip_decoder();
#endif
    default: return not_in_this_build(format);
  }
}

}  // namespace kelmar_vindle::decoder
