// The JSON layer: one parse routine with positioned, library-style messages and
// a depth limit; typed reading helpers with the wording clients see inside
// "helper protocol error: {}"; and a compact writer whose member order is the
// caller's.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelmar_vindle::json {

// (GCC 12 has std::expected without its monadic members, hence the explicit
// checks throughout.)

// Objects keep their members in document order.
using Value = nlohmann::ordered_json;

// A failure of the JSON layer is the library's message text; callers wrap it
// into their own error (a protocol error, a start-up failure).
template <class T>
using Read = std::expected<T, std::string>;

inline constexpr std::size_t kMaxDepth = 128;

enum class DuplicateMembers {
  // The later value replaces the earlier one (generic request trees).
  LastWins,
  // Every occurrence is kept in document order, so that typed reading can
  // refuse a repeated known field (records read straight from text).
  KeepAll,
};

// Parses exactly one JSON value surrounded by optional white space. Syntax
// errors read "{what} at line {L} column {C}", L/C being the position of the
// last character consumed; nesting deeper than `kMaxDepth` fails with
// "recursion limit exceeded". Never throws (but for allocation failure) and
// never recurses, whatever the input.
[[nodiscard]] Read<Value> parse(std::string_view text, DuplicateMembers duplicates);

// ---- Typed reading -------------------------------------------------------

// How a value shows up in a type error: `null`, "integer `5`", "string \"x\"",
// "sequence", "map", ...
std::string describe_unexpected(const Value& value);
// "invalid type: {unexpected}, expected {expected}".
std::string invalid_type(const Value& value, std::string_view expected);

[[nodiscard]] Read<std::string> read_string(const Value& value);
[[nodiscard]] Read<bool> read_bool(const Value& value);

// An unsigned integer that must fit `T`; `type_name` ("u16", "u32", "u64")
// names it in the messages.
[[nodiscard]] Read<std::uint64_t> read_unsigned(const Value& value, std::uint64_t max, std::string_view type_name);

template <std::unsigned_integral T>
[[nodiscard]] Read<T> read_unsigned_as(const Value& value, std::string_view type_name) {
  auto n = read_unsigned(value, std::numeric_limits<T>::max(), type_name);
  if (!n) return std::unexpected(std::move(n.error()));
  return static_cast<T>(*n);
}
inline Read<std::uint16_t> read_u16(const Value& v) { return read_unsigned_as<std::uint16_t>(v, "u16"); }
inline Read<std::uint32_t> read_u32(const Value& v) { return read_unsigned_as<std::uint32_t>(v, "u32"); }
inline Read<std::uint64_t> read_u64(const Value& v) { return read_unsigned_as<std::uint64_t>(v, "u64"); }

// null reads as none; anything else goes to `reader`.
template <class F>
auto read_optional(const Value& value, F&& reader)
    -> Read<std::optional<typename std::invoke_result_t<F, const Value&>::value_type>> {
  using T = typename std::invoke_result_t<F, const Value&>::value_type;
  if (value.is_null()) return std::optional<T>{};
  auto read = std::forward<F>(reader)(value);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::optional<T>(std::move(*read));
}

// Stores a successful read into `out`.
template <class T>
[[nodiscard]] Read<void> assign(T& out, Read<T> read) {
  if (!read) return std::unexpected(std::move(read.error()));
  out = std::move(*read);
  return {};
}

struct FieldSpec {
  std::string_view name;
  bool required;
  // A field added after the record's first form: the positional form may end
  // before it (it is then left as it is), so older arrays still read.
  bool added_later = false;
};

// Reads a record (`record_name` as in "struct DeviceIdentity") from its object
// form or its positional array form. `visit(i, member)` reads field i; it is
// called in document order, so the first fault met is the one reported. In
// the object form, unknown members are ignored, a repeated field fails with
// "duplicate field `x`" and, afterwards, the first missing required field in
// declaration order fails with "missing field `x`"; optional fields not seen
// are left as they are. The array form needs every field, in order, except
// trailing fields `added_later`.
[[nodiscard]] Read<void> read_record(const Value& value, std::string_view record_name,
                                     std::span<const FieldSpec> fields,
                                     const std::function<Read<void>(std::size_t, const Value&)>& visit);

// Reads a field-less enumeration value given as its name, or as an object with
// the name as its one member and null as its value. Returns the index of the
// name in `names`; an unknown name fails with "unknown variant `x`, expected
// one of `a`, `b`".
[[nodiscard]] Read<std::size_t> read_unit_variant(const Value& value, std::span<const std::string_view> names);

// "unknown variant `x`, expected one of `a`, `b`, ..."
std::string unknown_variant(std::string_view given, std::span<const std::string_view> names);

// ---- Writing ---------------------------------------------------------------

// Appends compact JSON; the caller chooses member order. Strings are escaped
// by the library, so the output never holds a raw line feed.
class Writer {
 public:
  Writer& begin_object();
  Writer& end_object();
  Writer& key(std::string_view name);
  Writer& string(std::string_view text);
  Writer& boolean(bool value);
  Writer& number(std::uint64_t value);
  Writer& null();

  template <class T, class F>
  Writer& optional(const std::optional<T>& value, F&& write) {
    if (value) return std::forward<F>(write)(*this, *value);
    return null();
  }

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
  // One entry per open object: whether a member has been written.
  std::vector<bool> has_members_;
};

// A JSON string literal for `text`, escaped (invalid UTF-8 replaced by U+FFFD).
std::string quote(std::string_view text);

}  // namespace kelmar_vindle::json
