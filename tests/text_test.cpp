#include "kelmar_vindle/text.hpp"

#include <gtest/gtest.h>

namespace kelmar_vindle::text {
namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesMalformedSequences) {
  for (std::string_view good : {"", "ascii",
                                "\xC3\x9C"
                                "ber",
                                "\xE2\x80\xA8", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  for (std::string_view bad : {"\xFF", "\xC3", "\xC0\xAF" /* overlong */, "\xED\xA0\x80" /* surrogate */,
                               "\xF4\x90\x80\x80" /* above U+10FFFF */, "a\x80", "\xE2\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << ::testing::PrintToString(bad);
  }
}

TEST(Utf8, TrimsUnicodeWhiteSpaceOnBothEndsOnly) {
  EXPECT_EQ(trim_unicode_whitespace(" \t ABC123 \r\n"), "ABC123");
  // NO-BREAK SPACE, IDEOGRAPHIC SPACE and LINE SEPARATOR count; inner spaces stay.
  EXPECT_EQ(trim_unicode_whitespace("\xC2\xA0"
                                    "a b"
                                    "\xE3\x80\x80\xE2\x80\xA8"),
            "a b");
  EXPECT_EQ(trim_unicode_whitespace("   "), "");
  // ZERO WIDTH SPACE is not white space.
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8B"
                                    "x"),
            "\xE2\x80\x8B"
            "x");
}

TEST(Utf8, LossyDecodingReplacesEachMaximalInvalidPrefixOnce) {
  const std::string_view replacement = "\xEF\xBF\xBD";
  const auto r = [&](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += replacement;
    return out;
  };
  EXPECT_EQ(decode_utf8_lossy("plain \xC3\x9C"), "plain \xC3\x9C");
  EXPECT_EQ(decode_utf8_lossy("a\xFF"
                              "b"),
            "a" + r(1) + "b");
  EXPECT_EQ(decode_utf8_lossy("\xE2\x80x"), r(1) + "x") << "a truncated sequence is one replacement";
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), r(3)) << "surrogates are three invalid bytes";
  EXPECT_EQ(decode_utf8_lossy("\xF0\x9F\x98"), r(1));
  EXPECT_EQ(decode_utf8_lossy("\x80\x80"), r(2));
}

TEST(Ascii, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equals_ascii_case_insensitive("PURCHASER", "purchaser"));
  EXPECT_TRUE(equals_ascii_case_insensitive("PurChaSer", "purchaser"));
  EXPECT_FALSE(equals_ascii_case_insensitive(" purchaser", "purchaser"));
  EXPECT_FALSE(equals_ascii_case_insensitive("purchaser\xC3\x9C", "purchaser\xC3\xBC"));
}

}  // namespace
}  // namespace kelmar_vindle::text
