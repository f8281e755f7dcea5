// What an image's leading bytes say it is. Only the bytes decide, never a
// file name: a client names files as it likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelmar_vindle {

enum class ImageFormat : std::uint8_t { Raw, Xz, Gzip, Zstd, Bzip2, Zip };

// The most leading bytes `sniff_image_format` looks at.
inline constexpr std::size_t kFormatSniffBytes = 6;

// The container whose signature `leading` starts with; `Raw` for anything
// else, including bytes too few to hold a whole signature.
[[nodiscard]] ImageFormat sniff_image_format(std::span<const std::byte> leading);

// "raw", "xz", "gzip", "zstd", "bzip2" or "zip": the decoder's `--format`
// names.
[[nodiscard]] std::string_view image_format_name(ImageFormat format);

}  // namespace kelmar_vindle
