#include "core/value/quote.h"

#include <gtest/gtest.h>

#include <string>

namespace tesmo {
namespace {

struct QuoteCase {
  const char* name;
  std::string input;
  std::string expected;
};

class DebugQuote : public testing::TestWithParam<QuoteCase> {};

TEST_P(DebugQuote, Escapes) { EXPECT_EQ(debug_quote(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, DebugQuote,
    testing::Values(
        QuoteCase{"plain", "/tmp/w/.tesmo", "\"/tmp/w/.tesmo\""},
        QuoteCase{"empty", "", "\"\""},
        QuoteCase{"quote_and_backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        QuoteCase{"single_quote_kept", "it's", "\"it's\""},
        QuoteCase{"short_escapes", std::string("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
        QuoteCase{"other_control", "\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        QuoteCase{"accented_letter_kept", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
        QuoteCase{"combining_acute", "e\xCC\x81", "\"e\\u{301}\""},
        QuoteCase{"zero_width_joiner_is_format", "\xE2\x80\x8D", "\"\\u{200d}\""},
        QuoteCase{"line_separator", "\xE2\x80\xA8", "\"\\u{2028}\""},
        QuoteCase{"no_break_space", "\xC2\xA0", "\"\\u{a0}\""},
        QuoteCase{"unassigned", "\xF0\xB0\x80\x80" "\xF3\xA0\x80\x80", "\"\xF0\xB0\x80\x80\\u{e0000}\""},
        QuoteCase{"emoji_kept", "\xF0\x9F\x8E\xAC", "\"\xF0\x9F\x8E\xAC\""},
        QuoteCase{"invalid_bytes", "a\xFF\xC3", "\"a\\xFF\\xC3\""},
        QuoteCase{"surrogate_bytes", "\xED\xA0\x80", "\"\\xED\\xA0\\x80\""}),
    [](const testing::TestParamInfo<QuoteCase>& info) { return std::string(info.param.name); });

TEST(CharacterClasses, TableEdgesDecideTheEscape) {
  // Printable characters stay, the rest and combining marks are escaped.
  EXPECT_EQ(debug_quote(" ~"), "\" ~\"");
  EXPECT_EQ(debug_quote("\x7F"), "\"\\u{7f}\"");
  EXPECT_EQ(debug_quote("\xF4\x8F\xBF\xBF"), "\"\\u{10ffff}\"");  // U+10FFFF
  EXPECT_EQ(debug_quote("\xE4\xB8\x80"), "\"\xE4\xB8\x80\"");  // U+4E00, a CJK ideograph
  EXPECT_EQ(debug_quote("\xCC\x80"), "\"\\u{300}\"");            // combining grave accent
  EXPECT_EQ(debug_quote("\xE2\x80\x8C"), "\"\\u{200c}\"");      // ZWNJ, Other_Grapheme_Extend
  EXPECT_EQ(debug_quote("a"), "\"a\"");
}

}  // namespace
}  // namespace tesmo
