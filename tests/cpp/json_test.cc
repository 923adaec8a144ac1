#include "core/value/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace tesmo {
namespace {

using namespace std::string_literals;

JsonValue parse_ok(std::string_view text) {
  Result<JsonValue> v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << "parsing " << text << ": " << (v ? "" : v.error().message());
  return v ? *v : JsonValue();
}

// ---------------------------------------------------------------------------
// Value model

TEST(JsonNumber, KindsFollowFromTheValue) {
  EXPECT_EQ(JsonNumber::from_i64(0).kind(), JsonNumber::Kind::Unsigned);
  EXPECT_EQ(JsonNumber::from_i64(5).as_u64(), 5u);
  EXPECT_EQ(JsonNumber::from_i64(-1).kind(), JsonNumber::Kind::Negative);
  EXPECT_EQ(JsonNumber::from_i64(-1).as_i64(), -1);
  EXPECT_EQ(JsonNumber::from_double(0.5)->kind(), JsonNumber::Kind::Float);
  EXPECT_FALSE(JsonNumber::from_double(std::nan("")));
  EXPECT_FALSE(JsonNumber::from_double(-std::numeric_limits<double>::infinity()));
}

TEST(JsonValue, NonFiniteDoubleIsNull) {
  EXPECT_TRUE(JsonValue::from_double(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue(std::nan("")).is_null());
  EXPECT_EQ(canonical_json(JsonValue::from_double(std::nan(""))), "null");
}

TEST(JsonValue, IntegerAndFloatDiffer) {
  EXPECT_NE(JsonValue(1), JsonValue(1.0));
  EXPECT_NE(JsonValue(0.0), JsonValue(-0.0));
  EXPECT_EQ(canonical_json(JsonValue(1)), "1");
  EXPECT_EQ(canonical_json(JsonValue(1.0)), "1.0");
}

TEST(JsonObject, InsertKeepsKeyOrderAndReplaces) {
  JsonObject o;
  for (const char* key : {"b", "é", "aa", "_", "Z", "a", "B"}) o.insert(key, key);
  o.insert("aa", 7);
  std::string keys;
  for (const auto& [key, value] : o) keys += key + ",";
  EXPECT_EQ(keys, "B,Z,_,a,aa,b,é,");
  EXPECT_EQ(o.size(), 7u);
  EXPECT_EQ(*o.find("aa"), JsonValue(7));
  EXPECT_EQ(*o.find("é"), JsonValue("é"));
  EXPECT_EQ(o.find("c"), nullptr);
  EXPECT_EQ(canonical_json(o), R"({"B":"B","Z":"Z","_":"_","a":"a","aa":7,"b":"b","é":"é"})");
}

TEST(JsonObject, BulkConstructionKeepsLastOfEqualKeys) {
  std::vector<JsonObject::Member> members = {{"b", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"a", 5}, {"b", 6}};
  const JsonObject bulk(std::move(members));
  JsonObject inserted;
  for (auto& [k, v] : std::vector<JsonObject::Member>{{"b", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"a", 5}, {"b", 6}}) {
    inserted.insert(k, v);
  }
  EXPECT_EQ(bulk, inserted);
  EXPECT_EQ(canonical_json(bulk), R"({"a":5,"b":6,"c":4})");
}

// ---------------------------------------------------------------------------
// Canonical text

TEST(CanonicalJson, ExampleDocument) {
  JsonObject o;
  o.insert("tracks", JsonArray{JsonObject{{"len", 2.5}, {"kind", "video"}}});
  o.insert("ok", true);
  o.insert("note", JsonNull{});
  o.insert("name", "main");
  o.insert("id", 7);
  const std::string text = canonical_json(o);
  EXPECT_EQ(text, R"({"id":7,"name":"main","note":null,"ok":true,"tracks":[{"kind":"video","len":2.5}]})");
  EXPECT_EQ(text.size(), 82u);
}

TEST(CanonicalJson, EmptyContainersAndScalars) {
  EXPECT_EQ(canonical_json(JsonObject()), "{}");
  EXPECT_EQ(canonical_json(JsonArray()), "[]");
  EXPECT_EQ(canonical_json(""), R"("")");
  EXPECT_EQ(canonical_json(JsonValue()), "null");
  EXPECT_EQ(canonical_json(false), "false");
  EXPECT_EQ(canonical_json(JsonArray{JsonArray{}, JsonObject{}, 0}), "[[],{},0]");
}

TEST(CanonicalJson, Integers) {
  EXPECT_EQ(canonical_json(JsonValue::from_u64(0)), "0");
  EXPECT_EQ(canonical_json(JsonValue::from_u64(18446744073709551615u)), "18446744073709551615");
  EXPECT_EQ(canonical_json(JsonValue::from_i64(-1)), "-1");
  EXPECT_EQ(canonical_json(JsonValue::from_i64(std::numeric_limits<std::int64_t>::min())),
            "-9223372036854775808");
}

TEST(CanonicalJson, StringEscapes) {
  const std::string s = "\"\\/\x7f\x01\x1f\n\t\xc3\xa9\xe2\x80\xa8"s + '\0' + "\b\f\r";
  EXPECT_EQ(canonical_json(s), "\"\\\"\\\\/\x7f\\u0001\\u001f\\n\\t\xc3\xa9\xe2\x80\xa8\\u0000\\b\\f\\r\"");
}

struct FloatCase {
  double value;
  const char* text;
};

class CanonicalFloat : public testing::TestWithParam<FloatCase> {};

TEST_P(CanonicalFloat, WritesShortestFormAndReadsBack) {
  const JsonValue value = JsonValue::from_double(GetParam().value);
  EXPECT_EQ(canonical_json(value), GetParam().text);
  EXPECT_EQ(parse_ok(GetParam().text), value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CanonicalFloat,
    testing::Values(FloatCase{1.0, "1.0"}, FloatCase{2.5, "2.5"}, FloatCase{0.1, "0.1"},
                    FloatCase{100.0, "100.0"}, FloatCase{123.456, "123.456"},
                    FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
                    FloatCase{1e21, "1e+21"}, FloatCase{18446744073709551616.0, "1.8446744073709552e+19"},
                    FloatCase{0.001234, "0.001234"}, FloatCase{1e-5, "0.00001"}, FloatCase{1e-6, "1e-6"},
                    FloatCase{1.5e-7, "1.5e-7"},
                    FloatCase{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
                    FloatCase{std::numeric_limits<double>::denorm_min(), "5e-324"},
                    FloatCase{-0.0, "-0.0"}, FloatCase{0.0, "0.0"}, FloatCase{-2.5, "-2.5"},
                    FloatCase{1234567890123456.7, "1234567890123456.8"},
                    FloatCase{1.25e-5, "0.0000125"}, FloatCase{-1e100, "-1e+100"},
                    FloatCase{12345678901234567e5, "1.2345678901234568e+21"}));

// ---------------------------------------------------------------------------
// Reading

struct NumberCase {
  const char* text;
  JsonNumber::Kind kind;
  const char* canonical;
};

class ParseNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumber, KindAndCanonicalText) {
  const JsonValue v = parse_ok(GetParam().text);
  ASSERT_NE(v.get_number(), nullptr);
  EXPECT_EQ(v.get_number()->kind(), GetParam().kind);
  EXPECT_EQ(canonical_json(v), GetParam().canonical);
}

using K = JsonNumber::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, ParseNumber,
    testing::Values(NumberCase{"0", K::Unsigned, "0"}, NumberCase{"-0", K::Float, "-0.0"},
                    NumberCase{"42", K::Unsigned, "42"}, NumberCase{"-42", K::Negative, "-42"},
                    NumberCase{"18446744073709551615", K::Unsigned, "18446744073709551615"},
                    NumberCase{"18446744073709551616", K::Float, "1.8446744073709552e+19"},
                    NumberCase{"-9223372036854775808", K::Negative, "-9223372036854775808"},
                    NumberCase{"-9223372036854775809", K::Float, "-9.223372036854776e+18"},
                    NumberCase{"1.0", K::Float, "1.0"}, NumberCase{"-0.0", K::Float, "-0.0"},
                    NumberCase{"1E2", K::Float, "100.0"}, NumberCase{"1.5e+2", K::Float, "150.0"},
                    NumberCase{"25e-1", K::Float, "2.5"}, NumberCase{"0e0", K::Float, "0.0"},
                    NumberCase{"1e-400", K::Float, "0.0"}, NumberCase{"-1e-400", K::Float, "-0.0"},
                    NumberCase{"0.0000001e-99999999999999999999", K::Float, "0.0"},
                    NumberCase{"123456789012345678901234567890", K::Float, "1.2345678901234568e+29"},
                    NumberCase{"1.7976931348623157e308", K::Float, "1.7976931348623157e+308"}));

TEST(ParseJson, StringEscapes) {
  const JsonValue v = parse_ok(R"("\"\\\/\b\f\n\r\t\u00e9\u00C9\uD83D\uDE00\u0000\u2028")");
  EXPECT_EQ(*v.get_string(), "\"\\/\b\f\n\r\t\xc3\xa9\xc3\x89\xf0\x9f\x98\x80"s + '\0' + "\xe2\x80\xa8");
  EXPECT_EQ(*parse_ok("\"raw \xc3\xa9 \xf0\x9f\x98\x80 \x7f\"").get_string(), "raw \xc3\xa9 \xf0\x9f\x98\x80 \x7f");
}

TEST(ParseJson, LaterDuplicateKeyWins) {
  EXPECT_EQ(canonical_json(parse_ok(R"({"a":1,"a":2})")), R"({"a":2})");
  EXPECT_EQ(canonical_json(parse_ok(R"({"b":1,"é":0,"a":2,"b":[3]})")), R"({"a":2,"b":[3],"é":0})");
}

// Members in any arrival order, with repeats, come out in key order with the
// last value of each key, also in objects too large for the small-object sort.
TEST(ParseJson, MembersInAnyOrder) {
  std::string descending = "{";
  std::string ascending = "{";
  for (int i = 1; i <= 40; ++i) {
    descending += "\"k" + std::to_string(141 - i) + "\":" + std::to_string(41 - i) + (i < 40 ? "," : "}");
    ascending += "\"k" + std::to_string(100 + i) + "\":" + std::to_string(i) + (i < 40 ? "," : "}");
  }
  EXPECT_EQ(canonical_json(parse_ok(descending)), ascending);
  // c, b, a, c, b, a, ... with the values 0 to 29, then b once more.
  std::string repeated = "{";
  for (int i = 0; i < 30; ++i) repeated += "\"" + std::string(1, "cba"[i % 3]) + "\":" + std::to_string(i) + ",";
  repeated += R"("b":[{"y":1,"x":2}]})";
  EXPECT_EQ(canonical_json(parse_ok(repeated)), R"({"a":29,"b":[{"x":2,"y":1}],"c":27})");
}

TEST(ParseJson, WhitespaceAroundTokens) {
  EXPECT_EQ(canonical_json(parse_ok(" \t\r\n{ \"a\" :\n[ 1 , true ,null ] } \n\n ")), R"({"a":[1,true,null]})");
}

TEST(ParseJson, RoundTripsCanonicalText) {
  JsonObject inner{{"x", -3}, {"y", 1e-7}, {"z", "tab\there \xe2\x80\xa8"}};
  const JsonValue v = JsonObject{{"arr", JsonArray{inner, JsonArray{}, JsonObject{}, false, JsonNull{}}},
                                 {"big", JsonValue::from_u64(18446744073709551615u)},
                                 {"neg0", -0.0}, {"s", "\x01\"\\"}};
  const std::string text = canonical_json(v);
  const JsonValue back = parse_ok(text);
  EXPECT_EQ(back, v);
  EXPECT_EQ(canonical_json(back), text);
}

std::string nested(std::size_t depth, bool objects) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += objects ? "{\"k\":" : "[";
  text += "0";
  for (std::size_t i = 0; i < depth; ++i) text += objects ? "}" : "]";
  return text;
}

TEST(ParseJson, NestingLimit) {
  EXPECT_TRUE(parse_json(nested(127, false)).has_value());
  EXPECT_TRUE(parse_json(nested(127, true)).has_value());
  Result<JsonValue> arrays = parse_json(nested(128, false));
  ASSERT_FALSE(arrays);
  EXPECT_EQ(arrays.error().message(), "too many nested arrays and objects at byte 127");
  EXPECT_FALSE(parse_json(nested(128, true)));
  EXPECT_FALSE(parse_json(std::string(1000000, '[')));
}

TEST(ParseJson, EveryProperPrefixFails) {
  const std::string text = R"({"a":[1,-2.5e3,"x\u00e9\n"],"b":{"c":null,"d":true}})";
  ASSERT_TRUE(parse_json(text).has_value());
  for (std::size_t n = 0; n < text.size(); ++n) {
    EXPECT_FALSE(parse_json(text.substr(0, n))) << text.substr(0, n);
  }
}

// A raw byte inside a string, in a value and in a key: every byte below 0x20
// is refused and 0x20 and above are text. Each byte goes at every offset
// from 0 to 16, so it lands in each lane of the 8-bytes-at-a-time scan of a
// longer string as well as in the byte-at-a-time scan of a short tail.
class RawByteInString : public testing::TestWithParam<int> {};

TEST_P(RawByteInString, RefusedExactlyBelowSpace) {
  const char byte = static_cast<char>(GetParam());
  const bool refused = GetParam() < 0x20;
  for (std::size_t offset = 0; offset <= 16; ++offset) {
    for (const std::size_t tail : {std::size_t{0}, std::size_t{9}}) {
      const std::string body = std::string(offset, 'a') + byte + std::string(tail, 'z');
      for (const bool key : {false, true}) {
        const std::string text = key ? "{\"" + body + "\":1}" : "\"" + body + "\"";
        SCOPED_TRACE((key ? "key, " : "value, ") + std::to_string(offset) + " bytes before, " +
                     std::to_string(tail) + " after");
        Result<JsonValue> v = parse_json(text);
        if (refused) {
          ASSERT_FALSE(v);
          const std::size_t at = (key ? 2 : 1) + offset;
          EXPECT_EQ(v.error().message(), "unescaped control character in string at byte " + std::to_string(at));
        } else {
          ASSERT_TRUE(v) << v.error().message();
          EXPECT_EQ(canonical_json(*v), key ? "{\"" + body + "\":1}" : "\"" + body + "\"");
        }
      }
    }
  }
}

std::vector<int> bytes_around_space() {
  std::vector<int> bytes;
  for (int b = 0x00; b <= 0x20; ++b) bytes.push_back(b);
  bytes.push_back(0x7F);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(Bytes, RawByteInString, testing::ValuesIn(bytes_around_space()),
                         [](const testing::TestParamInfo<int>& info) {
                           char name[8];
                           std::snprintf(name, sizeof name, "x%02X", info.param);
                           return std::string(name);
                         });

struct BadCase {
  std::string text;
  const char* message;
};

class ParseFailure : public testing::TestWithParam<BadCase> {};

TEST_P(ParseFailure, Refused) {
  Result<JsonValue> v = parse_json(GetParam().text);
  ASSERT_FALSE(v) << GetParam().text;
  EXPECT_EQ(v.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFailure,
    testing::Values(
        BadCase{"", "expected a value, found end of input at byte 0"},
        BadCase{"  ", "expected a value, found end of input at byte 2"},
        BadCase{"{} x", "expected end of input after the value, found 'x' at byte 3"},
        BadCase{"\x0b" "1", "expected a value, found byte 0x0b at byte 0"},
        BadCase{"\xef\xbb\xbf{}", "expected a value, found byte 0xef at byte 0"},
        BadCase{"01", "leading zero in number at byte 1"},
        BadCase{"-01", "leading zero in number at byte 2"},
        BadCase{"+1", "expected a value, found '+' at byte 0"},
        BadCase{"1.", "expected a digit after the decimal point, found end of input at byte 2"},
        BadCase{".5", "expected a value, found '.' at byte 0"},
        BadCase{"1.e5", "expected a digit after the decimal point, found 'e' at byte 2"},
        BadCase{"1e", "expected a digit in the exponent, found end of input at byte 2"},
        BadCase{"1e+", "expected a digit in the exponent, found end of input at byte 3"},
        BadCase{"-", "expected a digit, found end of input at byte 1"},
        BadCase{"NaN", "expected a value, found 'N' at byte 0"},
        BadCase{"Infinity", "expected a value, found 'I' at byte 0"},
        BadCase{"-Infinity", "expected a digit, found 'I' at byte 1"},
        BadCase{"1e309", "number out of range at byte 0"},
        BadCase{"[-1e99999999999999999999]", "number out of range at byte 1"},
        BadCase{"184467440737095516160000" + std::string(300, '0'), "number out of range at byte 0"},
        BadCase{"tru", "expected a value, found 't' at byte 0"},
        BadCase{"[1,]", "expected a value, found ']' at byte 3"},
        BadCase{"[1 2]", "expected ',' or ']', found '2' at byte 3"},
        BadCase{"[1}", "expected ',' or ']', found '}' at byte 2"},
        BadCase{"{\"a\":1,}", "expected a string key, found '}' at byte 7"},
        BadCase{"{\"a\" 1}", "expected ':', found '1' at byte 5"},
        BadCase{"{1:2}", "expected a string key, found '1' at byte 1"},
        BadCase{"{\"a\":1]", "expected ',' or '}', found ']' at byte 6"},
        BadCase{"\"abc", "unterminated string starting at byte 0"},
        BadCase{"\"\\", "unterminated escape at byte 1"},
        BadCase{"\"\\x\"", "invalid escape at byte 1"},
        BadCase{"\"\\u12\"", "invalid \\u escape at byte 1"},
        BadCase{"\"\\uD800\"", "unpaired surrogate in \\u escape at byte 1"},
        BadCase{"\"\\uDC00\"", "unpaired surrogate in \\u escape at byte 1"},
        BadCase{"\"\\uD800\\u0041\"", "unpaired surrogate in \\u escape at byte 1"},
        BadCase{"\"\\uD800\\uD800\"", "unpaired surrogate in \\u escape at byte 1"},
        BadCase{"\"\\uD800\\n\"", "unpaired surrogate in \\u escape at byte 1"},
        BadCase{"\"a\x01\"", "unescaped control character in string at byte 2"},
        BadCase{"\"tab\there\"", "unescaped control character in string at byte 4"},
        BadCase{std::string("\"\0\"", 3), "unescaped control character in string at byte 1"},
        BadCase{"\"\xff\"", "invalid UTF-8 in string at byte 1"},
        BadCase{"\"\xc3\"", "invalid UTF-8 in string at byte 1"},
        BadCase{"\"\xed\xa0\x80\"", "invalid UTF-8 in string at byte 1"},
        BadCase{"{\"\xe9\":1}", "invalid UTF-8 in string at byte 2"}));

}  // namespace
}  // namespace tesmo
