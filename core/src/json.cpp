#include "kelmar_vindle/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kelmar_vindle::json {
namespace {

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// Builds the tree from the library's SAX events. Only the explicit stack below
// grows with nesting (the library's parser is iterative too), and it stops at
// the depth limit.
class TreeBuilder {
 public:
  using number_integer_t = Value::number_integer_t;
  using number_unsigned_t = Value::number_unsigned_t;
  using number_float_t = Value::number_float_t;
  using string_t = Value::string_t;
  using binary_t = Value::binary_t;

  explicit TreeBuilder(DuplicateMembers duplicates) : duplicates_(duplicates) {}

  bool null() { return put(Value(nullptr)) != nullptr; }
  bool boolean(bool b) { return put(Value(b)) != nullptr; }
  bool number_integer(number_integer_t n) { return put(Value(n)) != nullptr; }
  bool number_unsigned(number_unsigned_t n) { return put(Value(n)) != nullptr; }
  // The library refuses numbers too large for a double before they get here.
  bool number_float(number_float_t f, const string_t& /*text*/) { return put(Value(f)) != nullptr; }
  bool string(string_t& s) { return put(Value(std::move(s))) != nullptr; }
  bool binary(binary_t& /*bytes*/) { return false; }  // never produced from text

  bool start_object(std::size_t /*size*/) { return open(Value::object()); }
  bool key(string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*size*/) { return open(Value::array()); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string& /*last_token*/, const nlohmann::detail::exception& ex) {
    position_ = position;
    message_ = ex.what();
    return false;
  }

  Value take_root() { return std::move(root_); }

  // The failure, once the library has given up.
  std::string failure(std::string_view text) const {
    if (!failure_.empty()) return failure_;
    return syntax_failure(text);
  }

 private:
  Value* put(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      complete_ = true;
      return &root_;
    }
    Value& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    if (duplicates_ == DuplicateMembers::LastWins) {
      Value& slot = parent[key_];
      slot = std::move(value);
      return &slot;
    }
    // The object's storage is a vector; appending to it directly keeps a
    // repeated name as a second member instead of merging it.
    auto& members = static_cast<Value::object_t::Container&>(parent.get_ref<Value::object_t&>());
    members.emplace_back(key_, std::move(value));
    return &members.back().second;
  }

  bool open(Value container) {
    if (stack_.size() >= kMaxDepth) {
      failure_ = "recursion limit exceeded";
      return false;
    }
    Value* slot = put(std::move(container));
    complete_ = false;
    stack_.push_back(slot);
    return true;
  }

  bool close() {
    stack_.pop_back();
    complete_ = stack_.empty();
    return true;
  }

  // Maps the library's description onto the wording clients see, positioned
  // at the last character consumed. The library counts one read past the end
  // of the input when it meets the end, so that case is clamped here.
  std::string syntax_failure(std::string_view text) const {
    const bool at_end = position_ > text.size();
    const std::size_t consumed = std::min(position_, text.size());
    const std::string_view what = describe(at_end);

    const std::string_view before = text.substr(0, consumed);
    const auto lines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column = line_start == std::string_view::npos ? consumed : consumed - line_start - 1;
    return std::string(what) + " at line " + std::to_string(lines + 1) + " column " + std::to_string(column);
  }

  std::string_view describe(bool at_end) const {
    // Only the library's own words count, not the echo of the input after them.
    std::string_view m = message_;
    m = m.substr(0, m.find("; last read:"));
    if (complete_) return "trailing characters";
    if (at_end) {
      if (contains(m, "invalid string")) return "EOF while parsing a string";
      if (contains(m, "while parsing object")) return "EOF while parsing an object";
      if (contains(m, "while parsing array")) return "EOF while parsing a list";
      return "EOF while parsing a value";
    }
    // Faults found by the library's lexer inside one token.
    if (contains(m, "control character")) return "control character (\\u0000-\\u001F) found while parsing a string";
    if (contains(m, "surrogate U+D800..U+DBFF")) return "lone leading surrogate in hex escape";
    if (contains(m, "surrogate U+DC00..U+DFFF")) return "invalid unicode code point";
    if (contains(m, "ill-formed UTF-8")) return "invalid unicode code point";
    if (contains(m, "invalid string")) return "invalid escape";
    if (contains(m, "invalid number")) return "invalid number";
    if (contains(m, "number overflow")) return "number out of range";
    // A well-formed token in the wrong place.
    if (contains(m, "while parsing object key")) return "key must be a string";
    if (contains(m, "while parsing object separator")) return "expected `:`";
    if (contains(m, "while parsing object")) return "expected `,` or `}`";
    if (contains(m, "while parsing array")) return "expected `,` or `]`";
    return "expected value";
  }

  DuplicateMembers duplicates_;
  Value root_;
  std::vector<Value*> stack_;
  std::string key_;
  bool complete_ = false;

  std::string failure_;
  std::size_t position_ = 0;
  std::string message_;
};

std::string float_text(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc{}) return "NaN";
  std::string text(buffer, end);
  // Shortest round-trip form, written "1.0" and "1e20" rather than "1" and "1e+20".
  if (const auto plus = text.find("e+"); plus != std::string::npos) text.erase(plus + 1, 1);
  if (text.find_first_of(".e") == std::string::npos && std::isfinite(value)) text += ".0";
  return text;
}

}  // namespace

Read<Value> parse(std::string_view text, DuplicateMembers duplicates) {
  // The library skips a leading byte-order mark; it is not white space, and
  // no value starts with it.
  if (text.starts_with("\xEF\xBB\xBF")) return std::unexpected(std::string("expected value at line 1 column 1"));
  // The library's lexer takes a zero byte outside a string for the end of the
  // input, so that a request followed by one and anything at all would pass.
  // It is fed another control byte in its place, which the lexer refuses
  // wherever it stands (as trailing characters, as no value, or inside a
  // string as a control character) at the same position.
  std::string masked;
  if (text.find('\0') != std::string_view::npos) {
    masked.assign(text);
    std::replace(masked.begin(), masked.end(), '\0', '\x01');
    text = masked;
  }
  TreeBuilder builder(duplicates);
  bool ok = false;
  try {
    ok = Value::sax_parse(text.begin(), text.end(), &builder);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
  if (!ok) return std::unexpected(builder.failure(text));
  return builder.take_root();
}

std::string quote(std::string_view text) {
  return Value(std::string(text)).dump(-1, ' ', false, Value::error_handler_t::replace);
}

std::string describe_unexpected(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null: return "null";
    case Value::value_t::boolean: return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case Value::value_t::number_unsigned: return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
    case Value::value_t::number_integer: return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
    case Value::value_t::number_float: return "floating point `" + float_text(value.get<double>()) + "`";
    case Value::value_t::string: return "string " + quote(value.get_ref<const std::string&>());
    case Value::value_t::array: return "sequence";
    case Value::value_t::object: return "map";
    case Value::value_t::binary: return "bytes";
    case Value::value_t::discarded: break;
  }
  return "value";
}

std::string invalid_type(const Value& value, std::string_view expected) {
  return "invalid type: " + describe_unexpected(value) + ", expected " + std::string(expected);
}

Read<std::string> read_string(const Value& value) {
  if (!value.is_string()) return std::unexpected(invalid_type(value, "a string"));
  return value.get<std::string>();
}

Read<bool> read_bool(const Value& value) {
  if (!value.is_boolean()) return std::unexpected(invalid_type(value, "a boolean"));
  return value.get<bool>();
}

Read<std::uint64_t> read_unsigned(const Value& value, std::uint64_t max, std::string_view type_name) {
  const auto out_of_range = [&] {
    return "invalid value: " + describe_unexpected(value) + ", expected " + std::string(type_name);
  };
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n > max) return std::unexpected(out_of_range());
    return n;
  }
  if (value.is_number_integer()) {  // signed: only "-0" is in range
    const auto n = value.get<std::int64_t>();
    if (n < 0) return std::unexpected(out_of_range());
    return static_cast<std::uint64_t>(n);
  }
  return std::unexpected(invalid_type(value, type_name));
}

Read<void> read_record(const Value& value, std::string_view record_name, std::span<const FieldSpec> fields,
                       const std::function<Read<void>(std::size_t, const Value&)>& visit) {
  if (value.is_object()) {
    std::vector<bool> seen(fields.size(), false);
    // Iterates the storage itself, so members kept twice are both visited.
    for (const auto& [name, member] : value.get_ref<const Value::object_t&>()) {
      const auto field = std::find_if(fields.begin(), fields.end(), [&](const FieldSpec& f) { return f.name == name; });
      if (field == fields.end()) continue;
      const auto index = static_cast<std::size_t>(field - fields.begin());
      if (seen[index]) return std::unexpected("duplicate field `" + name + "`");
      seen[index] = true;
      if (auto read = visit(index, member); !read) return read;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !seen[i]) return std::unexpected("missing field `" + std::string(fields[i].name) + "`");
    }
    return {};
  }
  if (value.is_array()) {
    const auto original = static_cast<std::size_t>(
        std::find_if(fields.begin(), fields.end(), [](const FieldSpec& f) { return f.added_later; }) - fields.begin());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i >= value.size()) {
        if (i >= original) break;
        return std::unexpected("invalid length " + std::to_string(value.size()) + ", expected " +
                               std::string(record_name) + " with " + std::to_string(original) + " elements");
      }
      if (auto read = visit(i, value[i]); !read) return read;
    }
    if (value.size() > fields.size()) {
      return std::unexpected("invalid length " + std::to_string(value.size()) + ", expected fewer elements in array");
    }
    return {};
  }
  return std::unexpected(invalid_type(value, record_name));
}

std::string unknown_variant(std::string_view given, std::span<const std::string_view> names) {
  std::string text = "unknown variant `" + std::string(given) + "`, expected one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    // Appended piece by piece: GCC 12 at -O3 misreads `"`" + std::string(name)`
    // as an overlapping copy (-Wrestrict).
    text.append("`").append(names[i]).append("`");
  }
  return text;
}

Read<std::size_t> read_unit_variant(const Value& value, std::span<const std::string_view> names) {
  const auto lookup = [&](const std::string& given) -> Read<std::size_t> {
    const auto at = std::find(names.begin(), names.end(), given);
    if (at == names.end()) return std::unexpected(unknown_variant(given, names));
    return static_cast<std::size_t>(at - names.begin());
  };
  if (value.is_string()) return lookup(value.get_ref<const std::string&>());
  if (value.is_object()) {
    const auto& members = value.get_ref<const Value::object_t&>();
    if (members.size() != 1) return std::unexpected(std::string("invalid value: map, expected map with a single key"));
    const auto& [name, payload] = members.front();
    auto index = lookup(name);
    if (index && !payload.is_null()) return std::unexpected(invalid_type(payload, "unit variant"));
    return index;
  }
  return std::unexpected(invalid_type(value, "string or map"));
}

// ---- Writer ------------------------------------------------------------------

Writer& Writer::begin_object() {
  out_ += '{';
  has_members_.push_back(false);
  return *this;
}

Writer& Writer::end_object() {
  out_ += '}';
  has_members_.pop_back();
  return *this;
}

Writer& Writer::key(std::string_view name) {
  if (has_members_.back()) out_ += ',';
  has_members_.back() = true;
  out_ += quote(name);
  out_ += ':';
  return *this;
}

Writer& Writer::string(std::string_view text) {
  out_ += quote(text);
  return *this;
}

Writer& Writer::boolean(bool value) {
  out_ += value ? "true" : "false";
  return *this;
}

Writer& Writer::number(std::uint64_t value) {
  out_ += std::to_string(value);
  return *this;
}

Writer& Writer::null() {
  out_ += "null";
  return *this;
}

}  // namespace kelmar_vindle::json
