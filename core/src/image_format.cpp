#include "kelmar_vindle/image_format.hpp"

#include <algorithm>
#include <array>

namespace kelmar_vindle {
namespace {

struct Signature {
  ImageFormat format;
  std::string_view magic;
};

constexpr std::array<Signature, 5> kSignatures{{
    {ImageFormat::Xz, std::string_view("\xFD"
                                       "7zXZ\0",
                                       6)},
    {ImageFormat::Gzip, "\x1F\x8B"},
    {ImageFormat::Zstd, "\x28\xB5\x2F\xFD"},
    {ImageFormat::Bzip2, "BZh"},
    {ImageFormat::Zip, "PK\x03\x04"},
}};

bool starts_with(std::span<const std::byte> leading, std::string_view magic) {
  return leading.size() >= magic.size() &&
         std::equal(magic.begin(), magic.end(), leading.begin(),
                    [](char a, std::byte b) { return static_cast<std::byte>(a) == b; });
}

}  // namespace

ImageFormat sniff_image_format(std::span<const std::byte> leading) {
  for (const auto& [format, magic] : kSignatures) {
    if (!starts_with(leading, magic)) continue;
    // bzip2 names its block size, '1' to '9', right after the magic.
    if (format == ImageFormat::Bzip2) {
      if (leading.size() < 4) return ImageFormat::Raw;
      const auto level = static_cast<char>(leading[3]);
      if (level < '1' || level > '9') return ImageFormat::Raw;
    }
    return format;
  }
  return ImageFormat::Raw;
}

std::string_view image_format_name(ImageFormat format) {
  switch (format) {
    case ImageFormat::Xz: return "xz";
    case ImageFormat::Gzip: return "gzip";
    case ImageFormat::Zstd: return "zstd";
    case ImageFormat::Bzip2: return "bzip2";
    case ImageFormat::Zip: return "zip";
    case ImageFormat::Raw: break;
  }
  return "raw";
}

}  // namespace kelmar_vindle
