// Small text helpers shared by start-up, the JSON layer and the transports.
#pragma once

#include <string>
#include <string_view>

namespace kelmar_vindle::text {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Removes characters with the Unicode White_Space property from both ends.
// Input that is not valid UTF-8 is trimmed of ASCII white space only up to the
// first malformed sequence on each side.
std::string_view trim_unicode_whitespace(std::string_view utf8);

// `bytes` as UTF-8 with every malformed sequence (each maximal invalid
// prefix) replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// Compares two texts, folding only the ASCII letters.
bool equals_ascii_case_insensitive(std::string_view a, std::string_view b);

}  // namespace kelmar_vindle::text
