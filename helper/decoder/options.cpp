#include "options.hpp"

#include <charconv>
#include <optional>
#include <string>

namespace kelmar_vindle::decoder {

namespace {

constexpr std::string_view kUsage = "usage: kelmar_vindle_decoder --format xz|gzip|zstd|bzip2|zip --limit BYTES";

std::optional<std::uint64_t> decimal(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

TextResult<DecoderOptions> parse_options(std::span<const std::string_view> arguments) {
  std::optional<Format> format;
  std::optional<std::uint64_t> limit;
  if (arguments.size() != 4) return std::unexpected(std::string(kUsage));
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const std::string_view name = arguments[i];
    const std::string_view value = arguments[i + 1];
    if (name == "--format" && !format) {
      format = format_from_name(value);
      if (!format) return std::unexpected("unknown image format \"" + std::string(value) + "\"");
    } else if (name == "--limit" && !limit) {
      limit = decimal(value);
      if (!limit) return std::unexpected("the limit \"" + std::string(value) + "\" is not a number of bytes");
    } else {
      return std::unexpected(std::string(kUsage));
    }
  }
  return DecoderOptions{*format, *limit};
}

}  // namespace kelmar_vindle::decoder
