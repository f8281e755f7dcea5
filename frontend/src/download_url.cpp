#include "download_url.hpp"

#include <algorithm>
#include <optional>

namespace kelmar_vindle::frontend {
namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

std::optional<int> hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// "%XX" decoded; a '%' without two hexadecimal digits stays as it is, as
// browsers leave it.
std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const auto high = hex_value(text[i + 1]);
      const auto low = hex_value(text[i + 2]);
      if (high && low) {
        out.push_back(static_cast<char>(*high * 16 + *low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace

bool is_download_url(std::string_view image) {
  return starts_with_ignoring_case(image, "http://") || starts_with_ignoring_case(image, "https://");
}

TextResult<std::string> download_file_name(std::string_view url) {
  const auto scheme_end = url.find("://");
  std::string_view rest = scheme_end == std::string_view::npos ? url : url.substr(scheme_end + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  // The path begins at the first '/' after the host; without one there is
  // no path at all.
  const auto path_start = rest.find('/');
  const std::string_view path = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  const std::string name = percent_decoded(path.substr(std::min(path.size(), path.rfind('/') + 1)));
  const std::string cannot = std::string(url) + " names no file (";
  if (name.empty()) return std::unexpected(cannot + "its path is empty or ends in '/')");
  if (name == "." || name == ".." || name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return std::unexpected(cannot + "its last path component decodes to a name no file has)");
  }
  return name;
}

std::string without_credentials(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string(url);
  const std::size_t authority = scheme_end + 3;
  const std::size_t authority_end = std::min(url.size(), url.find_first_of("/?#", authority));
  const auto at = url.substr(authority, authority_end - authority).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, authority)) + std::string(url.substr(authority + at + 1));
}

}  // namespace kelmar_vindle::frontend
