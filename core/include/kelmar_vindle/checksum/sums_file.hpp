// Reading the digest of one file from a checksum list in the form
// `sha256sum` writes ("HEX  NAME" for text mode, "HEX *NAME" for binary).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelmar_vindle::checksum {

// A SHA-256 digest as written by hand or by a tool: exactly 64 hexadecimal
// characters of either case. Returns it lower-case, the form every digest
// here is carried in; none for anything else.
std::optional<std::string> read_hex_digest(std::string_view text);

// The digest (64 hexadecimal characters, returned lower-case) on the line
// whose file name equals `image` as given, or its base name (the part after
// the last '/'). Blank lines are skipped and a carriage return before a line
// feed is dropped; a name in `sha256sum`'s escaped form (the line starts
// with '\', the name holds "\\" and "\n") is unescaped. Fails with a text
// when any other line is not of that form (its number given), when no line
// names the image, or when lines naming it disagree.
[[nodiscard]] std::expected<std::string, std::string> digest_for(std::string_view sums, std::string_view image);

}  // namespace kelmar_vindle::checksum
