#include "kelmar_vindle/checksum/sums_file.hpp"

#include <optional>

namespace kelmar_vindle::checksum {
namespace {

constexpr std::size_t kHexLength = 64;

struct Entry {
  std::string digest;  // lower-case
  std::string name;
};

// `sha256sum` escapes a name holding a backslash or a line feed.
std::optional<std::string> unescape(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '\\') {
      out += name[i];
      continue;
    }
    if (++i == name.size()) return std::nullopt;
    if (name[i] == '\\') {
      out += '\\';
    } else if (name[i] == 'n') {
      out += '\n';
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<Entry> read_line(std::string_view line) {
  const bool escaped = !line.empty() && line.front() == '\\';
  if (escaped) line.remove_prefix(1);
  // The digest, a space, the mode (' ' or '*'), and a name of one byte or more.
  if (line.size() < kHexLength + 3 || line[kHexLength] != ' ') return std::nullopt;
  if (line[kHexLength + 1] != ' ' && line[kHexLength + 1] != '*') return std::nullopt;
  Entry entry;
  auto digest = read_hex_digest(line.substr(0, kHexLength));
  if (!digest) return std::nullopt;
  entry.digest = std::move(*digest);
  const std::string_view name = line.substr(kHexLength + 2);
  if (!escaped) {
    entry.name = std::string(name);
    return entry;
  }
  auto unescaped = unescape(name);
  if (!unescaped) return std::nullopt;
  entry.name = std::move(*unescaped);
  return entry;
}

std::string_view base_name(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::string> read_hex_digest(std::string_view text) {
  if (text.size() != kHexLength) return std::nullopt;
  std::string digest;
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
      digest += c;
    } else if (c >= 'A' && c <= 'F') {
      digest += static_cast<char>(c - 'A' + 'a');
    } else {
      return std::nullopt;
    }
  }
  return digest;
}

std::expected<std::string, std::string> digest_for(std::string_view sums, std::string_view image) {
  const std::string_view base = base_name(image);
  std::optional<std::string> found;
  std::size_t number = 0;
  while (!sums.empty()) {
    const auto end = sums.find('\n');
    std::string_view line = sums.substr(0, end);
    sums.remove_prefix(end == std::string_view::npos ? sums.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const auto entry = read_line(line);
    if (!entry) return std::unexpected("line " + std::to_string(number) + " is not a SHA-256 checksum line");
    if (entry->name != image && entry->name != base) continue;
    if (found && *found != entry->digest) {
      return std::unexpected("the checksum list gives " + std::string(image) + " two different digests");
    }
    found = entry->digest;
  }
  if (!found) return std::unexpected("the checksum list has no line for " + std::string(image));
  return *found;
}

}  // namespace kelmar_vindle::checksum
