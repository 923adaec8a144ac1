#include "core/store/commit_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>

namespace tesmo {
namespace {

Commit sample() {
  return Commit{std::string(COMMIT_SCHEMA),
                "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",
                {"sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"},
                Author{"agent", "agent@example.invalid"},
                "2024-05-01T12:00:00Z",
                "first \"cut\"\n"};
}

// The sample's JSON value without the members named (as "author.name" for
// those inside author).
JsonValue without(std::initializer_list<std::string> keys) {
  const auto dropped = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) != keys.end(); };
  const JsonValue full = commit_to_json(sample());
  JsonObject rebuilt;
  for (const auto& [k, member] : *full.get_object()) {
    if (dropped(k)) continue;
    if (k != "author") {
      rebuilt.insert(k, member);
      continue;
    }
    JsonObject author;
    for (const auto& [ak, am] : *member.get_object()) {
      if (!dropped("author." + ak)) author.insert(ak, am);
    }
    rebuilt.insert(k, author);
  }
  return rebuilt;
}

// The sample's JSON value with one member replaced.
JsonValue with(const std::string& key, JsonValue value) {
  JsonValue v = commit_to_json(sample());
  v.get_object()->insert(key, std::move(value));
  return v;
}

std::string decode_error(const JsonValue& v) {
  Result<Commit> c = commit_from_json(v);
  EXPECT_FALSE(c);
  return c ? "" : c.error().message();
}

TEST(Commit, RoundTrip) {
  Result<Commit> back = commit_from_json(commit_to_json(sample()));
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, sample());
  Commit root = sample();
  root.parents.clear();
  root.message.clear();
  EXPECT_EQ(*commit_from_json(commit_to_json(root)), root);
}

TEST(Commit, StoredText) {
  EXPECT_EQ(COMMIT_SCHEMA, "tesmo.commit.1");
  EXPECT_EQ(canonical_json(commit_to_json(sample())),
            R"({"author":{"email":"agent@example.invalid","name":"agent"},"message":"first \"cut\"\n",)"
            R"("parents":["sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"],)"
            R"("schema":"tesmo.commit.1",)"
            R"("timeline":"sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",)"
            R"("timestamp":"2024-05-01T12:00:00Z"})");
}

TEST(Commit, UnknownMembersIgnored) {
  JsonValue v = with("tags", JsonArray{"x", 1});
  v.get_object()->find("author")->get_object()->insert("Name", JsonValue());
  EXPECT_EQ(*commit_from_json(v), sample());
}

TEST(Commit, OtherSchemaDecodes) {
  EXPECT_EQ(commit_from_json(with("schema", "tesmo.commit.2"))->schema, "tesmo.commit.2");
}

TEST(Commit, MissingFieldsInDeclarationOrder) {
  EXPECT_EQ(decode_error(JsonObject()), "missing field `schema`");
  EXPECT_EQ(decode_error(without({"timestamp"})), "missing field `timestamp`");
  EXPECT_EQ(decode_error(without({"parents"})), "missing field `parents`");
  EXPECT_EQ(decode_error(without({"message", "timeline"})), "missing field `timeline`");
  EXPECT_EQ(decode_error(without({"message", "author"})), "missing field `author`");
  EXPECT_EQ(decode_error(without({"author.name"})), "missing field `name`");
  EXPECT_EQ(decode_error(without({"author.email", "author.name"})), "missing field `name`");
  EXPECT_EQ(decode_error(without({"author.email"})), "missing field `email`");
  // A present but broken author is reported before a missing field.
  EXPECT_EQ(decode_error(JsonObject{{"author", JsonObject()}}), "missing field `name`");
}

struct TypeCase {
  const char* key;
  JsonValue value;
  const char* message;
};

class CommitWrongType : public testing::TestWithParam<TypeCase> {};

TEST_P(CommitWrongType, Refused) {
  EXPECT_EQ(decode_error(with(GetParam().key, GetParam().value)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommitWrongType,
    testing::Values(
        TypeCase{"schema", JsonValue(), "invalid type: null, expected a string"},
        TypeCase{"timeline", 5, "invalid type: integer `5`, expected a string"},
        TypeCase{"timestamp", -5, "invalid type: integer `-5`, expected a string"},
        TypeCase{"message", 2.5, "invalid type: floating point `2.5`, expected a string"},
        TypeCase{"message", false, "invalid type: boolean `false`, expected a string"},
        TypeCase{"timeline", JsonArray{}, "invalid type: sequence, expected a string"},
        TypeCase{"timeline", JsonObject(), "invalid type: map, expected a string"},
        TypeCase{"parents", "sha256:abc", "invalid type: string \"sha256:abc\", expected a sequence"},
        TypeCase{"parents", JsonValue(), "invalid type: null, expected a sequence"},
        TypeCase{"parents", JsonArray{"ok", JsonValue()}, "invalid type: null, expected a string"},
        TypeCase{"author", "agent", "invalid type: string \"agent\", expected struct Author"},
        TypeCase{"author", JsonValue(), "invalid type: null, expected struct Author"},
        TypeCase{"author", JsonObject{{"name", "a"}, {"email", 1}}, "invalid type: integer `1`, expected a string"},
        TypeCase{"author", JsonArray{"a"}, "invalid length 1, expected struct Author with 2 elements"},
        TypeCase{"author", JsonArray{"a", "b", "c"}, "invalid length 3, expected struct Author with 2 elements"},
        TypeCase{"author", JsonArray{"a", JsonValue()}, "invalid type: null, expected a string"}));

TEST(Commit, ArrayForm) {
  const Commit c = sample();
  JsonArray six{c.schema, c.timeline, JsonArray{c.parents[0]}, JsonArray{c.author.name, c.author.email},
                c.timestamp, c.message};
  EXPECT_EQ(*commit_from_json(six), c);

  six[3] = JsonObject{{"name", c.author.name}, {"email", c.author.email}};
  EXPECT_EQ(*commit_from_json(six), c);

  JsonArray five(six.begin(), six.end() - 1);
  EXPECT_EQ(decode_error(five), "invalid length 5, expected struct Commit with 6 elements");
  JsonArray seven = six;
  seven.push_back("extra");
  EXPECT_EQ(decode_error(seven), "invalid length 7, expected struct Commit with 6 elements");
  EXPECT_EQ(decode_error(JsonArray{}), "invalid length 0, expected struct Commit with 6 elements");
  six[1] = 7;
  EXPECT_EQ(decode_error(six), "invalid type: integer `7`, expected a string");
}

TEST(Commit, OtherKindsRefused) {
  EXPECT_EQ(decode_error(JsonValue()), "invalid type: null, expected struct Commit");
  EXPECT_EQ(decode_error("commit"), "invalid type: string \"commit\", expected struct Commit");
  EXPECT_EQ(decode_error(JsonValue::from_u64(3)), "invalid type: integer `3`, expected struct Commit");
  EXPECT_EQ(decode_error(true), "invalid type: boolean `true`, expected struct Commit");
}

}  // namespace
}  // namespace tesmo
