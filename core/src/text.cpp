#include "kelmar_vindle/text.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelmar_vindle::text {
namespace {

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

// Decodes the sequence starting at `bytes[at]`, or nothing when it is malformed.
std::optional<Decoded> decode_at(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return Decoded{lead, 1};

  std::size_t length = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (bytes.size() - at < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t next = byte(at + i);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return Decoded{cp, length};
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Start of the character that ends just before `end`, or nothing.
std::optional<Decoded> decode_before(std::string_view bytes, std::size_t end) {
  for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
    const auto decoded = decode_at(bytes, end - length);
    if (decoded && decoded->length == length) return decoded;
  }
  return std::nullopt;
}

// How many bytes from `at` form the longest prefix of some well-formed
// sequence (at least 1): they are replaced together.
std::size_t invalid_prefix_length(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  std::size_t taken = 1;
  for (; taken < length && at + taken < bytes.size(); ++taken) {
    const std::uint8_t next = byte(at + taken);
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
  }
  return taken;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (const auto decoded = decode_at(bytes, at)) {
      out.append(bytes.substr(at, decoded->length));
      at += decoded->length;
    } else {
      out.append("\xEF\xBF\xBD");
      at += invalid_prefix_length(bytes, at);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto decoded = decode_at(bytes, at);
    if (!decoded) return false;
    at += decoded->length;
  }
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view utf8) {
  std::size_t begin = 0;
  while (begin < utf8.size()) {
    const auto decoded = decode_at(utf8, begin);
    if (!decoded || !is_white_space(decoded->code_point)) break;
    begin += decoded->length;
  }
  std::size_t end = utf8.size();
  while (end > begin) {
    const auto decoded = decode_before(utf8, end);
    if (!decoded || !is_white_space(decoded->code_point)) break;
    end -= decoded->length;
  }
  return utf8.substr(begin, end - begin);
}

bool equals_ascii_case_insensitive(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace kelmar_vindle::text
