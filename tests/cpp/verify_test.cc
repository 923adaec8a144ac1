// The checks made on objects that come from another repository before any
// of them is stored: the id and timestamp forms, canonical text hashing to
// its id, and commit records of the form this code writes.
#include "core/store/verify.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/store/commit_record.h"
#include "core/store/object.h"
#include "core/value/json.h"
#include "core/value/quote.h"

namespace tesmo {
namespace {

const std::string kHex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kTimeline = "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";
const std::string kParent = "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b";
const std::string kOtherParent = "sha256:" + std::string(64, 'e');

// ----------------------------------------------------------------------------
// is_full_id

struct IdCase {
  const char* name;
  std::string id;
  bool full;
};

std::ostream& operator<<(std::ostream& out, const IdCase& c) { return out << c.name; }

class FullIdForm : public testing::TestWithParam<IdCase> {};

TEST_P(FullIdForm, Form) {
  EXPECT_EQ(is_full_id(GetParam().id), GetParam().full) << debug_quote(GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Verify, FullIdForm,
    testing::Values(
        IdCase{"lower_case_64", "sha256:" + kHex64, true},
        IdCase{"all_zeros", "sha256:" + std::string(64, '0'), true},
        IdCase{"all_f", "sha256:" + std::string(64, 'f'), true},
        IdCase{"empty", "", false},
        IdCase{"prefix_only", "sha256:", false},
        IdCase{"digits_63", "sha256:" + kHex64.substr(1), false},
        IdCase{"digits_65", "sha256:" + kHex64 + "0", false},
        IdCase{"digits_40", "sha256:" + kHex64.substr(0, 40), false},
        IdCase{"upper_case_digit", "sha256:" + kHex64.substr(0, 63) + "F", false},
        IdCase{"all_upper_case", "sha256:" + std::string(64, 'A'), false},
        IdCase{"letter_g", "sha256:g" + kHex64.substr(1), false},
        IdCase{"no_prefix", kHex64, false},
        IdCase{"no_prefix_71_digits", kHex64 + "0123456", false},
        IdCase{"upper_case_prefix", "SHA256:" + kHex64, false},
        IdCase{"dash_for_colon", "sha256-" + kHex64, false},
        IdCase{"other_algorithm", "sha512:" + kHex64, false},
        IdCase{"sha1_prefix", "sha1:" + kHex64 + "00", false},
        IdCase{"leading_space", " sha256:" + kHex64.substr(1), false},
        IdCase{"trailing_newline", "sha256:" + kHex64.substr(1) + "\n", false},
        IdCase{"embedded_nul", "sha256:" + kHex64.substr(0, 32) + std::string(1, '\0') + kHex64.substr(33), false},
        IdCase{"colon_in_digits", "sha256:" + kHex64.substr(0, 63) + ":", false}),
    [](const testing::TestParamInfo<IdCase>& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------
// is_stored_timestamp

struct TimeCase {
  const char* name;
  std::string text;
  bool stored;
};

std::ostream& operator<<(std::ostream& out, const TimeCase& c) { return out << c.name; }

class TimestampForm : public testing::TestWithParam<TimeCase> {};

TEST_P(TimestampForm, Form) {
  EXPECT_EQ(is_stored_timestamp(GetParam().text), GetParam().stored) << debug_quote(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Verify, TimestampForm,
    testing::Values(
        TimeCase{"ordinary", "2026-12-07T03:18:24Z", true},
        TimeCase{"lowest_fields", "0000-01-01T00:00:00Z", true},
        TimeCase{"highest_fields", "9999-12-31T23:59:59Z", true},
        TimeCase{"leap_second", "2016-12-31T23:59:60Z", true},
        TimeCase{"month_00", "2026-00-07T03:18:24Z", false},
        TimeCase{"month_13", "2026-13-07T03:18:24Z", false},
        TimeCase{"month_99", "2026-99-07T03:18:24Z", false},
        TimeCase{"day_00", "2026-12-00T03:18:24Z", false},
        TimeCase{"day_32", "2026-12-32T03:18:24Z", false},
        TimeCase{"hour_24", "2026-12-07T24:00:00Z", false},
        TimeCase{"minute_60", "2026-12-07T03:60:24Z", false},
        TimeCase{"second_61", "2026-12-07T03:18:61Z", false},
        TimeCase{"empty", "", false},
        TimeCase{"length_19_no_zone", "2026-12-07T03:18:24", false},
        TimeCase{"length_21_trailing_newline", "2026-12-07T03:18:24Z\n", false},
        TimeCase{"length_21_five_digit_year", "12026-12-07T03:18:24Z", false},
        TimeCase{"one_digit_month", "2026-1-07T03:18:24Z", false},
        TimeCase{"fraction", "2026-12-07T03:18:24.5Z", false},
        TimeCase{"offset", "2026-12-07T03:18:24+00:00", false},
        TimeCase{"space_for_t", "2026-12-07 03:18:24Z", false},
        TimeCase{"lower_case_t", "2026-12-07t03:18:24Z", false},
        TimeCase{"lower_case_z", "2026-12-07T03:18:24z", false},
        TimeCase{"letter_in_year", "2O26-12-07T03:18:24Z", false},
        TimeCase{"letter_in_month", "2026-1a-07T03:18:24Z", false},
        TimeCase{"letter_in_second", "2026-12-07T03:18:2xZ", false},
        TimeCase{"sign_in_day", "2026-12-+7T03:18:24Z", false},
        TimeCase{"slash_separators", "2026/12/07T03:18:24Z", false},
        TimeCase{"dot_separators", "2026-12-07T03.18.24Z", false},
        TimeCase{"other_zone_letter", "2026-12-07T03:18:24A", false},
        TimeCase{"nul_for_zone", std::string("2026-12-07T03:18:24") + std::string(1, '\0'), false}),
    [](const testing::TestParamInfo<TimeCase>& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------
// verify_object_text

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct ObjectCase {
  const char* name;
  std::string text;
  // The id the text is checked against; empty for the text's own hash.
  std::string id;
  enum Expect { kOk, kNotFullId, kWrongHash, kNotCanonical, kNotJson } expect;
};

std::ostream& operator<<(std::ostream& out, const ObjectCase& c) { return out << c.name; }

class ObjectTextCase : public testing::TestWithParam<ObjectCase> {};

TEST_P(ObjectTextCase, Outcome) {
  const ObjectCase& c = GetParam();
  const std::string id = c.id.empty() ? hash_text(c.text) : c.id;
  const Status s = verify_object_text(c.text, id);
  if (c.expect == ObjectCase::kOk) {
    EXPECT_TRUE(s) << s.error().message();
    return;
  }
  ASSERT_FALSE(s);
  const std::string named = "object " + id;
  switch (c.expect) {
    case ObjectCase::kNotFullId:
      EXPECT_EQ(s.error().message(), named + " is not a full object id");
      break;
    case ObjectCase::kWrongHash:
      EXPECT_EQ(s.error().message(), named + " holds text whose id is " + hash_text(c.text));
      break;
    case ObjectCase::kNotCanonical:
      // It parses: the refusal is the text's form alone.
      EXPECT_EQ(s.error().message(), named + " is not canonical JSON");
      EXPECT_EQ(s.error().cause(), nullptr) << s.error().cause()->message();
      EXPECT_TRUE(parse_json(c.text));
      break;
    case ObjectCase::kNotJson: {
      EXPECT_EQ(s.error().message(), named + " is not canonical JSON");
      const Error* cause = s.error().cause();
      ASSERT_NE(cause, nullptr);
      EXPECT_EQ(cause->message(), parse_json(c.text).error().message());
      EXPECT_NE(cause->message().find("at byte"), std::string::npos) << cause->message();
      break;
    }
    case ObjectCase::kOk:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Verify, ObjectTextCase,
    testing::Values(
        // Canonical text under its own id.
        ObjectCase{"canonical_object", R"({"a":1,"b":[true,null,"x"]})", "", ObjectCase::kOk},
        ObjectCase{"canonical_float", R"({"a":1.0})", "", ObjectCase::kOk},
        ObjectCase{"canonical_empty_object", "{}", "", ObjectCase::kOk},
        ObjectCase{"canonical_string", R"("\u0001\n")", "", ObjectCase::kOk},
        ObjectCase{"nesting_at_the_limit", nested_arrays(kMaxJsonNesting), "", ObjectCase::kOk},
        // The id of some other text.
        ObjectCase{"hash_of_other_text", R"({"a":1})", hash_text(R"({"a":2})"), ObjectCase::kWrongHash},
        ObjectCase{"float_under_the_integer_id", R"({"a":1.0})", hash_text(R"({"a":1})"), ObjectCase::kWrongHash},
        ObjectCase{"integer_under_the_float_id", R"({"a":1})", hash_text(R"({"a":1.0})"), ObjectCase::kWrongHash},
        ObjectCase{"one_digit_changed", R"({"a":1})", "sha256:" + hash_text(R"({"a":1})").substr(7, 63) +
                   (hash_text(R"({"a":1})").back() == '0' ? "1" : "0"), ObjectCase::kWrongHash},
        ObjectCase{"not_json_under_other_id", "{", hash_text("{}"), ObjectCase::kWrongHash},
        // Hashing to its id, but not the canonical text of what it holds.
        ObjectCase{"space_after_colon", R"({"a": 1})", "", ObjectCase::kNotCanonical},
        ObjectCase{"trailing_newline", "{\"a\":1}\n", "", ObjectCase::kNotCanonical},
        ObjectCase{"leading_space", " {\"a\":1}", "", ObjectCase::kNotCanonical},
        ObjectCase{"pretty_printed", "{\n  \"a\": 1,\n  \"b\": 2\n}", "", ObjectCase::kNotCanonical},
        ObjectCase{"unsorted_keys", R"({"b":1,"a":2})", "", ObjectCase::kNotCanonical},
        ObjectCase{"unsorted_nested_keys", R"({"a":{"z":1,"y":2}})", "", ObjectCase::kNotCanonical},
        ObjectCase{"duplicate_key", R"({"a":1,"a":1})", "", ObjectCase::kNotCanonical},
        ObjectCase{"float_with_two_decimals", R"({"a":1.00})", "", ObjectCase::kNotCanonical},
        ObjectCase{"float_as_exponent", R"({"a":1e0})", "", ObjectCase::kNotCanonical},
        ObjectCase{"float_as_ten_tenths", R"({"a":10e-1})", "", ObjectCase::kNotCanonical},
        ObjectCase{"negative_zero_integer", "-0", "", ObjectCase::kNotCanonical},
        ObjectCase{"escaped_letter", R"("\u0041")", "", ObjectCase::kNotCanonical},
        ObjectCase{"escaped_slash", R"("a\/b")", "", ObjectCase::kNotCanonical},
        ObjectCase{"upper_case_escape", R"("\u001F")", "", ObjectCase::kNotCanonical},
        // Hashing to its id, but not JSON at all.
        ObjectCase{"empty", "", "", ObjectCase::kNotJson},
        ObjectCase{"unclosed_object", "{", "", ObjectCase::kNotJson},
        ObjectCase{"bare_word", "nul", "", ObjectCase::kNotJson},
        ObjectCase{"trailing_comma", R"({"a":1,})", "", ObjectCase::kNotJson},
        ObjectCase{"two_values", "{}{}", "", ObjectCase::kNotJson},
        ObjectCase{"invalid_utf8", "\"\xff\"", "", ObjectCase::kNotJson},
        ObjectCase{"gzip_magic", std::string("\x1f\x8b\x08\x00", 4), "", ObjectCase::kNotJson},
        ObjectCase{"nesting_past_the_limit", nested_arrays(kMaxJsonNesting + 1), "", ObjectCase::kNotJson},
        ObjectCase{"nesting_far_past_the_limit", nested_arrays(100000), "", ObjectCase::kNotJson},
        // A malformed id is refused whatever the text.
        ObjectCase{"upper_case_id", "{}", "sha256:" + [] {
                     std::string hex = hash_text("{}").substr(7);
                     for (char& ch : hex) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                     return hex;
                   }(), ObjectCase::kNotFullId},
        ObjectCase{"id_without_prefix", "{}", hash_text("{}").substr(7), ObjectCase::kNotFullId},
        ObjectCase{"short_id", "{}", hash_text("{}").substr(0, 7 + 12), ObjectCase::kNotFullId},
        ObjectCase{"id_with_newline", "{}", hash_text("{}") + "\n", ObjectCase::kNotFullId},
        ObjectCase{"other_algorithm", "{}", "sha1:" + hash_text("{}").substr(7, 40), ObjectCase::kNotFullId}),
    [](const testing::TestParamInfo<ObjectCase>& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------
// is_canonical_json: the streaming check agrees with parsing and writing again

TEST(IsCanonicalJson, AgreesWithParseAndWrite) {
  const std::vector<std::string> texts = {
      "null", "true", "0", "-1", "1.0", "-0.0", "1e+30", "1.5e-7", "\"\\u001f\"", "\"\\n\"",
      "\"\\u000a\"", "\"\\/\"", "\"/\"", "\"\xc3\xa9\"", "\"\\u00e9\"", "[]", "{}", "[1,2,[3,{}]]",
      "{\"a\":1,\"b\":[true,null]}", "{\"b\":1,\"a\":2}", "{\"a\":1,\"a\":1}", "{\"a\":{\"b\":1,\"c\":2},\"b\":0}",
      "{\"a\":{\"c\":1,\"b\":2}}", "[1, 2]", " 1", "1 ", "-0", "1.00", "1E5", "100000000000000000000",
      "18446744073709551615", "-9223372036854775808", "-9223372036854775809", "0.1", "[[],[]]",
      "[{},{}]", "{\"\":0}", "{\"B\":0,\"a\":1}", "{\"a\":0,\"B\":1}", "{\"\xc3\xa9\":0,\"z\":1}",
      "{\"z\":0,\"\xc3\xa9\":1}", "[1,]", "", "nul", "[1.5,-2,\"x\",{\"k\":[]}]"};
  for (const std::string& text : texts) {
    Result<JsonValue> value = parse_json(text);
    const bool expected = value && canonical_json(*value) == text;
    EXPECT_EQ(is_canonical_json(text), expected) << debug_quote(text);
  }
}

TEST(IsCanonicalJson, TakesLongArraysOfSmallValues) {
  // What a tree would take twenty times the size of, the check reads in place.
  std::string text = "[0";
  for (int i = 0; i < 1000000; ++i) text += ",0";
  text += "]";
  EXPECT_TRUE(is_canonical_json(text));
  text.insert(text.size() - 1, " ");
  EXPECT_FALSE(is_canonical_json(text));
}

TEST(VerifyCommitText, RefusesARecordLargerThanARecordCanBe) {
  std::string record = "{\"author\":{\"email\":\"a@b\",\"name\":\"a\"},\"message\":\"" +
                       std::string(kMaxRecordText, 'm') + "\",\"parents\":[],\"schema\":\"tesmo.commit.1\",\"timeline\":\"" +
                       kTimeline + "\",\"timestamp\":\"2026-12-09T02:32:45Z\"}";
  Result<Commit> commit = verify_commit_text(record, hash_text(record));
  ASSERT_FALSE(commit);
  EXPECT_NE(commit.error().message().find("more than the 1048576 a record may hold"), std::string::npos)
      << commit.error().message();
}

TEST(VerifyObjectText, NestingErrorNamesTheDepth) {
  const std::string text = nested_arrays(kMaxJsonNesting + 1);
  const Status s = verify_object_text(text, hash_text(text));
  ASSERT_FALSE(s);
  ASSERT_NE(s.error().cause(), nullptr);
  EXPECT_EQ(s.error().cause()->message(),
            "too many nested arrays and objects at byte " + std::to_string(kMaxJsonNesting));
}

// ----------------------------------------------------------------------------
// verify_commit_text

Commit sample() {
  return Commit{std::string(COMMIT_SCHEMA), kTimeline, {kParent}, Author{"Ada Editor", "ada@example.invalid"},
                "2026-12-07T03:18:24Z", "tighter interview\n\nsecond line"};
}

// The record's canonical text and its id, as a commit writes them.
struct Stored {
  std::string text;
  std::string id;
};

Stored stored(const JsonValue& value) {
  std::string text = canonical_json(value);
  std::string id = hash_text(text);
  return {std::move(text), std::move(id)};
}

Stored stored(const Commit& commit) { return stored(commit_to_json(commit)); }

TEST(VerifyCommitText, ValidRecordsComeBackWithTheirFields) {
  Commit merge = sample();
  merge.parents = {kParent, kOtherParent};
  Commit root = sample();
  root.parents.clear();
  root.message.clear();
  Commit unicode = sample();
  unicode.author = Author{"Zoë Ångström", "zoe@example.invalid"};
  unicode.message = "fin \xe2\x80\x94 \"locked\"\t\\";
  for (const Commit& commit : {sample(), merge, root, unicode}) {
    const Stored s = stored(commit);
    Result<Commit> back = verify_commit_text(s.text, s.id);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, commit);
    EXPECT_EQ(back->schema, "tesmo.commit.1");
    EXPECT_EQ(back->timeline, commit.timeline);
    EXPECT_EQ(back->parents, commit.parents);
    EXPECT_EQ(back->author.name, commit.author.name);
    EXPECT_EQ(back->author.email, commit.author.email);
    EXPECT_EQ(back->timestamp, commit.timestamp);
    EXPECT_EQ(back->message, commit.message);
  }
}

TEST(VerifyCommitText, ObjectFailuresComeFirst) {
  const Stored s = stored(sample());
  // Another record's id.
  Commit other = sample();
  other.message = "other";
  const std::string other_id = stored(other).id;
  Result<Commit> wrong = verify_commit_text(s.text, other_id);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message(), "object " + other_id + " holds text whose id is " + s.id);
  // A malformed id, though the text is the record's.
  const std::string unprefixed = s.id.substr(7);
  Result<Commit> bare = verify_commit_text(s.text, unprefixed);
  ASSERT_FALSE(bare);
  EXPECT_EQ(bare.error().message(), "object " + unprefixed + " is not a full object id");
  // Pretty-printed record text hashed as it is.
  std::string pretty = s.text;
  pretty.insert(1, "\n  ");
  Result<Commit> spaced = verify_commit_text(pretty, hash_text(pretty));
  ASSERT_FALSE(spaced);
  EXPECT_EQ(spaced.error().message(), "object " + hash_text(pretty) + " is not canonical JSON");
  // Not JSON.
  const std::string cut = s.text.substr(0, s.text.size() - 1);
  Result<Commit> cut_short = verify_commit_text(cut, hash_text(cut));
  ASSERT_FALSE(cut_short);
  EXPECT_EQ(cut_short.error().message(), "object " + hash_text(cut) + " is not canonical JSON");
}

// A change to the sample record, the error it must give (a function of the
// record's id), and the message of the error's cause, if it must have one.
struct CommitCase {
  const char* name;
  std::function<JsonValue()> value;
  std::function<std::string(const std::string& id)> message;
  std::string cause;
};

std::ostream& operator<<(std::ostream& out, const CommitCase& c) { return out << c.name; }

JsonValue changed(const std::function<void(Commit&)>& change) {
  Commit commit = sample();
  change(commit);
  return commit_to_json(commit);
}

JsonValue without_member(const std::string& key) {
  JsonValue full = commit_to_json(sample());
  JsonObject rebuilt;
  for (const auto& [k, member] : *full.get_object()) {
    if (k != key) rebuilt.insert(k, member);
  }
  return rebuilt;
}

JsonValue without_author_member(const std::string& key) {
  JsonValue full = commit_to_json(sample());
  JsonObject author;
  for (const auto& [k, member] : *full.get_object()->find("author")->get_object()) {
    if (k != key) author.insert(k, member);
  }
  full.get_object()->insert("author", author);
  return full;
}

JsonValue with_member(const std::string& key, JsonValue value) {
  JsonValue full = commit_to_json(sample());
  full.get_object()->insert(key, std::move(value));
  return full;
}

std::function<std::string(const std::string&)> has(std::string what) {
  return [what](const std::string& id) { return "commit " + id + " has " + what; };
}

std::function<std::string(const std::string&)> not_a_record() {
  return [](const std::string& id) { return "object " + id + " is not a commit record"; };
}

std::function<std::string(const std::string&)> not_as_written() {
  return [](const std::string& id) {
    return "commit " + id + " is not a record as tesmo writes one (other members, or another form)";
  };
}

JsonValue with_author_member(const std::string& key, JsonValue value) {
  JsonValue full = commit_to_json(sample());
  full.get_object()->find("author")->get_object()->insert(key, std::move(value));
  return full;
}

// The six fields in order, the other form the record reader takes.
JsonValue array_form() {
  const Commit c = sample();
  JsonArray parents;
  for (const std::string& p : c.parents) parents.push_back(p);
  return JsonArray{c.schema, c.timeline, parents, JsonArray{c.author.name, c.author.email}, c.timestamp,
                   c.message};
}

std::string timeline_error(const std::string& value) {
  return "a timeline id that is not a full object id: " + debug_quote(value);
}

std::string parent_error(const std::string& value) {
  return "a parent id that is not a full object id: " + debug_quote(value);
}

std::string timestamp_error(const std::string& value) {
  return "a timestamp that is not of the form YYYY-MM-DDTHH:MM:SSZ: " + debug_quote(value);
}

std::string upper(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

const std::string kShortId = kParent.substr(0, 7 + 12);
const std::string kUpperId = "sha256:" + upper(kParent.substr(7));
const std::string kBareId = kParent.substr(7);

class CommitRecord : public testing::TestWithParam<CommitCase> {};

TEST_P(CommitRecord, Refused) {
  const CommitCase& c = GetParam();
  const Stored s = stored(c.value());
  Result<Commit> back = verify_commit_text(s.text, s.id);
  ASSERT_FALSE(back) << s.text;
  EXPECT_EQ(back.error().message(), c.message(s.id));
  if (c.cause.empty()) {
    EXPECT_EQ(back.error().cause(), nullptr);
  } else {
    ASSERT_NE(back.error().cause(), nullptr);
    EXPECT_EQ(back.error().cause()->message(), c.cause);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Verify, CommitRecord,
    testing::Values(
        // The schema.
        CommitCase{"next_schema", [] { return changed([](Commit& c) { c.schema = "tesmo.commit.2"; }); },
                   has("unsupported schema \"tesmo.commit.2\" (expected tesmo.commit.1)"), ""},
        CommitCase{"empty_schema", [] { return changed([](Commit& c) { c.schema.clear(); }); },
                   has("unsupported schema \"\" (expected tesmo.commit.1)"), ""},
        CommitCase{"upper_case_schema", [] { return changed([](Commit& c) { c.schema = "TESMO.COMMIT.1"; }); },
                   has("unsupported schema \"TESMO.COMMIT.1\" (expected tesmo.commit.1)"), ""},
        CommitCase{"schema_with_newline", [] { return changed([](Commit& c) { c.schema += "\n"; }); },
                   has("unsupported schema \"tesmo.commit.1\\n\" (expected tesmo.commit.1)"), ""},
        CommitCase{"schema_not_a_string", [] { return with_member("schema", JsonValue(1)); }, not_a_record(),
                   "invalid type: integer `1`, expected a string"},
        // A missing field.
        CommitCase{"missing_schema", [] { return without_member("schema"); }, not_a_record(),
                   "missing field `schema`"},
        CommitCase{"missing_timeline", [] { return without_member("timeline"); }, not_a_record(),
                   "missing field `timeline`"},
        CommitCase{"missing_parents", [] { return without_member("parents"); }, not_a_record(),
                   "missing field `parents`"},
        CommitCase{"missing_author", [] { return without_member("author"); }, not_a_record(),
                   "missing field `author`"},
        CommitCase{"missing_timestamp", [] { return without_member("timestamp"); }, not_a_record(),
                   "missing field `timestamp`"},
        CommitCase{"missing_message", [] { return without_member("message"); }, not_a_record(),
                   "missing field `message`"},
        CommitCase{"missing_author_email", [] { return without_author_member("email"); }, not_a_record(),
                   "missing field `email`"},
        CommitCase{"not_an_object", [] { return JsonValue("tesmo.commit.1"); }, not_a_record(),
                   "invalid type: string \"tesmo.commit.1\", expected struct Commit"},
        // Anything beyond the record as written.
        CommitCase{"extra_member", [] { return with_member("signed_off", JsonValue("mallory")); },
                   not_as_written(), ""},
        CommitCase{"extra_null_member", [] { return with_member("tags", JsonValue()); }, not_as_written(), ""},
        CommitCase{"extra_author_member", [] { return with_author_member("key", JsonValue("x")); },
                   not_as_written(), ""},
        CommitCase{"array_form", [] { return array_form(); }, not_as_written(), ""},
        // The timeline id.
        CommitCase{"short_timeline", [] { return changed([](Commit& c) { c.timeline = kShortId; }); },
                   has(timeline_error(kShortId)), ""},
        CommitCase{"upper_case_timeline", [] { return changed([](Commit& c) { c.timeline = kUpperId; }); },
                   has(timeline_error(kUpperId)), ""},
        CommitCase{"unprefixed_timeline", [] { return changed([](Commit& c) { c.timeline = kBareId; }); },
                   has(timeline_error(kBareId)), ""},
        CommitCase{"empty_timeline", [] { return changed([](Commit& c) { c.timeline.clear(); }); },
                   has(timeline_error("")), ""},
        // Parent ids.
        CommitCase{"short_parent", [] { return changed([](Commit& c) { c.parents = {kShortId}; }); },
                   has(parent_error(kShortId)), ""},
        CommitCase{"upper_case_parent", [] { return changed([](Commit& c) { c.parents = {kUpperId}; }); },
                   has(parent_error(kUpperId)), ""},
        CommitCase{"unprefixed_parent", [] { return changed([](Commit& c) { c.parents = {kBareId}; }); },
                   has(parent_error(kBareId)), ""},
        CommitCase{"second_parent_malformed",
                   [] { return changed([](Commit& c) { c.parents = {kParent, kBareId}; }); },
                   has(parent_error(kBareId)), ""},
        CommitCase{"parents_not_a_list", [] { return with_member("parents", JsonValue(kParent)); },
                   not_a_record(), "invalid type: string " + debug_quote(kParent) + ", expected a sequence"},
        CommitCase{"duplicate_parent",
                   [] { return changed([](Commit& c) { c.parents = {kParent, kParent}; }); },
                   has("the parent " + kParent + " twice"), ""},
        CommitCase{"duplicate_parent_not_adjacent",
                   [] { return changed([](Commit& c) { c.parents = {kParent, kOtherParent, kParent}; }); },
                   has("the parent " + kParent + " twice"), ""},
        // The timestamp.
        CommitCase{"timestamp_with_offset",
                   [] { return changed([](Commit& c) { c.timestamp = "2026-12-07T03:18:24+00:00"; }); },
                   has(timestamp_error("2026-12-07T03:18:24+00:00")), ""},
        CommitCase{"timestamp_with_space",
                   [] { return changed([](Commit& c) { c.timestamp = "2026-12-07 03:18:24Z"; }); },
                   has(timestamp_error("2026-12-07 03:18:24Z")), ""},
        CommitCase{"timestamp_month_13",
                   [] { return changed([](Commit& c) { c.timestamp = "2026-13-07T03:18:24Z"; }); },
                   has(timestamp_error("2026-13-07T03:18:24Z")), ""},
        CommitCase{"timestamp_empty", [] { return changed([](Commit& c) { c.timestamp.clear(); }); },
                   has(timestamp_error("")), ""},
        CommitCase{"timestamp_as_epoch", [] { return with_member("timestamp", JsonValue(1765077504)); },
                   not_a_record(), "invalid type: integer `1765077504`, expected a string"}),
    [](const testing::TestParamInfo<CommitCase>& info) { return std::string(info.param.name); });

// A record's fields are checked in order: the schema before the ids, the
// ids before the timestamp.
TEST(VerifyCommitText, FirstWrongFieldIsNamed) {
  Commit commit = sample();
  commit.schema = "tesmo.commit.0";
  commit.timeline = kBareId;
  commit.timestamp = "yesterday";
  Stored s = stored(commit);
  Result<Commit> back = verify_commit_text(s.text, s.id);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().message(), "commit " + s.id + " has unsupported schema \"tesmo.commit.0\" (expected tesmo.commit.1)");
  commit.schema = std::string(COMMIT_SCHEMA);
  s = stored(commit);
  back = verify_commit_text(s.text, s.id);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().message(), "commit " + s.id + " has " + timeline_error(kBareId));
  commit.timeline = kTimeline;
  s = stored(commit);
  back = verify_commit_text(s.text, s.id);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().message(), "commit " + s.id + " has " + timestamp_error("yesterday"));
}

}  // namespace
}  // namespace tesmo
