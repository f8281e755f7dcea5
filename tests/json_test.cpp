#include "kelmar_vindle/json.hpp"

#include <gtest/gtest.h>

#include <array>

namespace kelmar_vindle::json {
namespace {

std::string parse_failure(std::string_view text) {
  auto parsed = parse(text, DuplicateMembers::LastWins);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? std::string() : parsed.error();
}

TEST(JsonParse, SyntaxErrorsNameWhatAndWhere) {
  struct Case {
    std::string_view text;
    std::string_view message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"hello", "expected value at line 1 column 1"},
      {"   \n  ", "EOF while parsing a value at line 2 column 2"},
      {"{\"v\":1,\"cmd\":\"cancel\"} x", "trailing characters at line 1 column 24"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a", "EOF while parsing a string at line 1 column 3"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 10"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[tru]", "expected value at line 1 column 5"},
      {"[-]", "invalid number at line 1 column 3"},
      {"\"a\\qb\"", "invalid escape at line 1 column 4"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"{\"a\":[\n]}\n]", "trailing characters at line 3 column 1"},
      // A zero byte is no end of the input, and a byte-order mark no white space.
      {std::string_view("{\"v\":1,\"cmd\":\"cancel\"}\0x", 24), "trailing characters at line 1 column 23"},
      {std::string_view("{\"v\":1,\"cmd\":\"cancel\"}\0", 23), "trailing characters at line 1 column 23"},
      {std::string_view("\0", 1), "expected value at line 1 column 1"},
      {std::string_view("[1,\0]", 5), "expected value at line 1 column 4"},
      {std::string_view("{\"a\":\"x\0y\"}", 11),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {"\xEF\xBB\xBF{\"v\":1,\"cmd\":\"cancel\"}", "expected value at line 1 column 1"},
      {"\xEF\xBB\xBF", "expected value at line 1 column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_failure(c.text), c.message) << c.text;
}

TEST(JsonParse, DepthIsLimitedTo128WithoutRecursion) {
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse(nested(128), DuplicateMembers::LastWins).has_value());
  EXPECT_EQ(parse_failure(nested(129)), "recursion limit exceeded");
  EXPECT_EQ(parse_failure(std::string(1'000'000, '[')), "recursion limit exceeded");
  EXPECT_EQ(parse_failure(std::string(500'000, '{') + "\"a\":"), "key must be a string at line 1 column 2");
  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  EXPECT_EQ(parse_failure(objects), "recursion limit exceeded");
}

TEST(JsonParse, DuplicateMembersEitherCollapseOrAreKept) {
  const std::string_view text = R"({"v":1,"x":{"y":1},"v":2})";
  auto last = parse(text, DuplicateMembers::LastWins);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->size(), 2u);
  EXPECT_EQ((*last)["v"], 2);

  auto all = parse(text, DuplicateMembers::KeepAll);
  ASSERT_TRUE(all);
  std::vector<std::string> names;
  for (const auto& [name, value] : all->get_ref<const Value::object_t&>()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"v", "x", "v"}));
}

TEST(JsonParse, KeepsNumberKindsAndSurroundingWhiteSpace) {
  auto v = parse(" \t\r\n[1, -1, 1.0, 1e0, 18446744073709551615, 18446744073709551616] \n", DuplicateMembers::LastWins);
  ASSERT_TRUE(v);
  EXPECT_TRUE((*v)[0].is_number_unsigned());
  EXPECT_TRUE((*v)[1].is_number_integer());
  EXPECT_TRUE((*v)[2].is_number_float());
  EXPECT_TRUE((*v)[3].is_number_float());
  EXPECT_EQ((*v)[4].get<std::uint64_t>(), 18446744073709551615ULL);
  EXPECT_TRUE((*v)[5].is_number_float()) << "past 64 bits a number is no longer an integer";
}

Value tree(std::string_view text) { return *parse(text, DuplicateMembers::LastWins); }

TEST(JsonRead, ScalarsReportTypeAndRangeFaults) {
  EXPECT_EQ(read_u64(tree("\"1\"")).error(), "invalid type: string \"1\", expected u64");
  EXPECT_EQ(read_u16(tree("70000")).error(), "invalid value: integer `70000`, expected u16");
  EXPECT_EQ(read_u32(tree("4294967296")).error(), "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(read_u64(tree("-1")).error(), "invalid value: integer `-1`, expected u64");
  EXPECT_EQ(read_u64(tree("1.5")).error(), "invalid type: floating point `1.5`, expected u64");
  EXPECT_EQ(read_u64(tree("1e20")).error(), "invalid type: floating point `1e20`, expected u64");
  EXPECT_EQ(read_u64(tree("2.0")).error(), "invalid type: floating point `2.0`, expected u64");
  EXPECT_EQ(read_string(tree("null")).error(), "invalid type: null, expected a string");
  EXPECT_EQ(read_string(tree("[]")).error(), "invalid type: sequence, expected a string");
  EXPECT_EQ(read_bool(tree("{}")).error(), "invalid type: map, expected a boolean");
  EXPECT_EQ(read_bool(tree("1")).error(), "invalid type: integer `1`, expected a boolean");
  EXPECT_EQ(read_string(tree("true")).error(), "invalid type: boolean `true`, expected a string");

  EXPECT_EQ(read_u16(tree("65535")).value(), 65535);
  EXPECT_EQ(read_u64(tree("-0")).value(), 0u);
  EXPECT_EQ(read_optional(tree("null"), read_u16).value(), std::nullopt);
  EXPECT_EQ(read_optional(tree("7"), read_u16).value(), std::optional<std::uint16_t>(7));
}

TEST(JsonRead, UnitVariantsByNameOrSingleMemberObject) {
  constexpr std::array<std::string_view, 2> names{"a", "b"};
  EXPECT_EQ(read_unit_variant(tree("\"b\""), names).value(), 1u);
  EXPECT_EQ(read_unit_variant(tree(R"({"a":null})"), names).value(), 0u);
  EXPECT_EQ(read_unit_variant(tree("\"B\""), names).error(), "unknown variant `B`, expected one of `a`, `b`");
  EXPECT_EQ(read_unit_variant(tree(R"({"a":1})"), names).error(), "invalid type: integer `1`, expected unit variant");
  EXPECT_EQ(read_unit_variant(tree(R"({"a":null,"b":null})"), names).error(),
            "invalid value: map, expected map with a single key");
  EXPECT_EQ(read_unit_variant(tree("0"), names).error(), "invalid type: integer `0`, expected string or map");
}

TEST(JsonWrite, CompactInCallerOrderWithEscaping) {
  Writer w;
  w.begin_object();
  w.key("z").string("line\nfeed \"quoted\" \\ \x01");
  w.key("a").number(18446744073709551615ULL);
  w.key("n").null();
  w.key("o").begin_object().key("t").boolean(true).key("f").boolean(false).end_object();
  w.key("u").string("\xC3\x9C\xFF");
  w.end_object();
  EXPECT_EQ(w.text(),
            "{\"z\":\"line\\nfeed \\\"quoted\\\" \\\\ \\u0001\",\"a\":18446744073709551615,\"n\":null,"
            "\"o\":{\"t\":true,\"f\":false},\"u\":\"\xC3\x9C\xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace kelmar_vindle::json
