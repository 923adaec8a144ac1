#include "core/value/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tesmo {
namespace {

struct LossyCase {
  const char* name;
  std::string input;
  std::string expected;
};

class Utf8Lossy : public testing::TestWithParam<LossyCase> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(utf8_lossy(GetParam().input), GetParam().expected);
  EXPECT_EQ(is_valid_utf8(GetParam().input), GetParam().input == GetParam().expected);
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Lossy,
    testing::Values(
        LossyCase{"ascii", "abc", "abc"},
        LossyCase{"two_byte", "\xC3\xA9", "\xC3\xA9"},
        LossyCase{"four_byte", "\xF0\x9F\x8E\xAC", "\xF0\x9F\x8E\xAC"},
        LossyCase{"lone_continuation", "a\x80z", "a" + kFffd + "z"},
        LossyCase{"overlong_slash", "\xC0\xAF", kFffd + kFffd},
        LossyCase{"surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
        LossyCase{"truncated_three_byte", "\xE2\x82", kFffd},
        LossyCase{"truncated_then_ascii", "\xE2\x82" "a", kFffd + "a"},
        LossyCase{"above_max", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        LossyCase{"byte_ff", "\xFF", kFffd}),
    [](const testing::TestParamInfo<LossyCase>& info) { return std::string(info.param.name); });

TEST(Utf8, DecodeReportsCodePointAndLength) {
  const std::string text = "\xE2\x80\xA8x";
  Utf8Char c = decode_utf8(text, 0);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.code_point, 0x2028u);
  EXPECT_EQ(c.length, 3u);
}

TEST(Utf8, AppendRoundTrips) {
  for (char32_t cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string out;
    append_utf8(out, cp);
    Utf8Char c = decode_utf8(out, 0);
    ASSERT_TRUE(c.valid) << static_cast<unsigned>(cp);
    EXPECT_EQ(c.code_point, cp);
    EXPECT_EQ(c.length, out.size());
  }
}

}  // namespace
}  // namespace tesmo
