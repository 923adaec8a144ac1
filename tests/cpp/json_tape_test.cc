#include "core/value/json_tape.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/value/json.h"

namespace tesmo {
namespace {

// The tape reads what parse_json reads, with the same messages, and writes
// the same canonical text.
class TapeAgrees : public ::testing::TestWithParam<const char*> {};

TEST_P(TapeAgrees, WithParseJson) {
  const std::string_view text = GetParam();
  Result<JsonValue> value = parse_json(text);
  Result<JsonTape> tape = JsonTape::parse(text);
  ASSERT_EQ(bool(value), bool(tape));
  if (!value) {
    EXPECT_EQ(tape.error().message(), value.error().message());
    return;
  }
  std::string canonical;
  tape->append_canonical(canonical, tape->root());
  EXPECT_EQ(canonical, canonical_json(*value));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, TapeAgrees,
    ::testing::Values("null", "true", "[]", "{}", "-0", "1e400", "[1, 2.5, -3, 18446744073709551615]",
                      R"({"b": 1, "a": [true, false, null], "c": {"z": "\u00e9\n", "y": {}}})",
                      R"({"a": 1, "a": 2, "b": {"k": 1, "k": [3]}})",  // later duplicates win
                      R"({"z": 1, "m": 2, "a": 3, "m": 4})", R"(["\ud83d\ude00", "tab\t"])",
                      // Failures, which must carry parse_json's message.
                      "", "[1,]", R"({"a" 1})", "\"\\x\"", "[1] 2", "\"\xff\"",
                      "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["
                      "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]"));

TEST(Tape, FindTakesTheLaterOfEqualKeys) {
  Result<JsonTape> tape = JsonTape::parse(R"({"k": 1, "other": true, "k": "two"})");
  ASSERT_TRUE(tape);
  const std::uint32_t k = tape->find(tape->root(), "k");
  ASSERT_NE(k, JsonTape::kNone);
  EXPECT_EQ(tape->string(k), "two");
  EXPECT_EQ(tape->find(tape->root(), "missing"), JsonTape::kNone);
  EXPECT_EQ(tape->find(tape->find(tape->root(), "other"), "k"), JsonTape::kNone);
}

}  // namespace
}  // namespace tesmo
