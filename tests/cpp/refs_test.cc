#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/store/fs.h"
#include "core/store/object.h"
#include "core/store/repo.h"
#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

struct TrimCase {
  const char* name;
  std::string input;
  std::string expected;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Trim,
    testing::Values(TrimCase{"ascii", " \t\r\n\v\fx y\n", "x y"},
                    TrimCase{"next_line_and_nbsp", "\xC2\x85\xC2\xA0main\xC2\xA0", "main"},
                    TrimCase{"ideographic_space", "\xE3\x80\x80main\xE3\x80\x80", "main"},
                    TrimCase{"en_quad_to_hair_space", "\xE2\x80\x80\xE2\x80\x8Ax", "x"},
                    TrimCase{"zero_width_space_is_not_white", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},
                    TrimCase{"all_space", " \n ", ""},
                    TrimCase{"inner_kept", "a \n b", "a \n b"}),
    [](const testing::TestParamInfo<TrimCase>& info) { return std::string(info.param.name); });

struct NameCase {
  const char* name;
  bool valid;
};

class BranchName : public testing::TestWithParam<NameCase> {};

TEST_P(BranchName, FollowsTheRules) {
  Status s = check_branch_name(GetParam().name);
  EXPECT_EQ(static_cast<bool>(s), GetParam().valid) << GetParam().name;
  if (!s) {
    EXPECT_EQ(s.error().message(), std::string("invalid branch name: ") + GetParam().name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BranchName,
    testing::Values(NameCase{"main", true}, NameCase{"feature/x-2", true},
                    NameCase{"release-1.2", true}, NameCase{"release.", true}, NameCase{"-x", true},
                    NameCase{"HEAD", true}, NameCase{"a_b", true}, NameCase{".hidden", false},
                    NameCase{"/x", false}, NameCase{"x/", false}, NameCase{"a..b", false},
                    NameCase{"a//b", false}, NameCase{"a b", false}, NameCase{"caf\xC3\xA9", false},
                    NameCase{"a:b", false}, NameCase{"../../HEAD", false}));

TEST(BranchName, EmptyHasItsOwnMessage) {
  Status s = check_branch_name("");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "branch name is empty");
}

class Refs : public testing_support::TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    Result<Repo> made = init(dir_);
    ASSERT_TRUE(made);
    repo_ = *made;
  }
  std::string commit_value(const JsonValue& timeline, const std::string& message) {
    Result<std::string> tl = write_object(objects_dir(repo_), timeline);
    EXPECT_TRUE(tl);
    Result<std::string> id = commit(repo_, *tl, Author{"a", "e"}, message);
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : std::string();
  }
  Repo repo_;
};

TEST_F(Refs, HeadForms) {
  struct Case {
    std::string contents;
    std::string outcome;  // "branch:<name>", "detached:<id>" or the error message
  };
  const Case cases[] = {
      {"ref: refs/heads/main", "branch:main"},
      {"\n  ref: refs/heads/dev \n\n", "branch:dev"},
      {"ref: refs/heads/feature/x-2", "branch:feature/x-2"},
      // A name that breaks the branch-name rules is no branch: no path is
      // ever built from it.
      {"ref: refs/heads/", "HEAD has unexpected contents: \"ref: refs/heads/\""},
      {"ref: refs/heads/../../../../tmp/x/escaped",
       "HEAD has unexpected contents: \"ref: refs/heads/../../../../tmp/x/escaped\""},
      {"ref: refs/heads//etc/passwd", "HEAD has unexpected contents: \"ref: refs/heads//etc/passwd\""},
      {"ref: refs/heads/a//b", "HEAD has unexpected contents: \"ref: refs/heads/a//b\""},
      {"ref: refs/heads/x/", "HEAD has unexpected contents: \"ref: refs/heads/x/\""},
      {"ref: refs/heads/.hidden", "HEAD has unexpected contents: \"ref: refs/heads/.hidden\""},
      {std::string("ref: refs/heads/ma\0in", 21), "HEAD has unexpected contents: \"ref: refs/heads/ma\\0in\""},
      {"sha256:", "detached:sha256:"},
      {" sha256:abc\n", "detached:sha256:abc"},
      {"garbage", "HEAD has unexpected contents: \"garbage\""},
      {"ref:\nx", "HEAD has unexpected contents: \"ref:\\nx\""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(head_path(repo_), c.contents));
    Result<HeadState> head = read_head(repo_);
    std::string outcome;
    if (!head) {
      outcome = head.error().message();
    } else if (const auto* on = std::get_if<OnBranch>(&*head)) {
      outcome = "branch:" + on->name;
    } else {
      outcome = "detached:" + std::get<Detached>(*head).id;
    }
    EXPECT_EQ(outcome, c.outcome) << c.contents;
  }
}

TEST_F(Refs, HeadNotUtf8OrMissingIsAReadingError) {
  ASSERT_TRUE(write_file(head_path(repo_), "ref: refs/heads/\xFF"));
  Result<HeadState> bad = read_head(repo_);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "reading " + head_path(repo_));
  std::filesystem::remove(head_path(repo_));
  Result<HeadState> missing = read_head(repo_);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "reading " + head_path(repo_));
  ASSERT_NE(missing.error().cause(), nullptr);
  EXPECT_EQ(missing.error().cause()->message(), "No such file or directory (os error 2)");
}

TEST_F(Refs, ShortIdsListOneFanOutDirectory) {
  const std::string fan_out = objects_dir(repo_) + "/ab";
  ASSERT_TRUE(make_dirs(fan_out));
  ASSERT_TRUE(write_file(fan_out + "/cdef01", ""));
  ASSERT_TRUE(write_file(fan_out + "/cdef02", ""));
  ASSERT_TRUE(make_dirs(fan_out + "/cd99"));  // entries of any type count
  struct Case {
    const char* ref;
    std::string outcome;
  };
  const Case cases[] = {
      {"abcdef01", "sha256:abcdef01"},
      {"abcd99", "sha256:abcd99"},
      {"abcdef", "short hash abcdef is ambiguous (2 matches)"},
      {"abcd", "short hash abcd is ambiguous (3 matches)"},
      {"ABCDEF01", "could not resolve short hash ABCDEF01"},
      {"abce", "could not resolve short hash abce"},
      {"ffff", "could not resolve short hash ffff"},
      {"abc", "could not resolve ref: abc"},
      {"abcg", "could not resolve ref: abcg"},
      {" abcd", "could not resolve ref:  abcd"},
      {"sha256:ab", "hash body too short: ab"},
      {"sha256:abcdef01", "sha256:abcdef01"},
      {"sha256:abcdef03", "ref sha256:abcdef03 resolves to nonexistent object"},
      {"head", "could not resolve ref: head"},
  };
  for (const Case& c : cases) {
    Result<std::string> id = resolve(repo_, c.ref);
    EXPECT_EQ(id ? *id : id.error().message(), c.outcome) << c.ref;
  }
}

TEST_F(Refs, BranchWinsOverShortId) {
  const std::string first = commit_value(JsonValue(1), "one");
  ASSERT_TRUE(make_dirs(heads_dir(repo_)));
  ASSERT_TRUE(write_file(branch_path(repo_, "abcd"), "  " + first + "\n\n"));
  Result<std::string> id = resolve(repo_, "abcd");
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, first);
}

TEST_F(Refs, CommitChainAndLog) {
  const std::string a = commit_value(JsonValue(1), "one");
  const std::string b = commit_value(JsonValue(2), "two");
  EXPECT_EQ(*read_file(branch_path(repo_, "main")), b + "\n");
  Result<std::vector<LogEntry>> entries = log(repo_, std::nullopt);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].id, b);
  EXPECT_EQ((*entries)[0].commit.parents, std::vector<std::string>{a});
  EXPECT_EQ((*entries)[1].id, a);
  EXPECT_TRUE((*entries)[1].commit.parents.empty());
  // No temporary files are left beside the branch or HEAD.
  for (const auto& e : std::filesystem::recursive_directory_iterator(repo_.root)) {
    EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
  }
}

TEST_F(Refs, LogStopsOnAHandMadeLoop) {
  const std::string a = commit_value(JsonValue(1), "one");
  const std::string b = commit_value(JsonValue(2), "two");
  // b's record, whose parent is a, placed at a's path: a's parent is now a.
  Result<std::string> a_path = object_path(objects_dir(repo_), a);
  Result<std::string> b_path = object_path(objects_dir(repo_), b);
  ASSERT_TRUE(a_path && b_path);
  std::filesystem::copy_file(*b_path, *a_path, std::filesystem::copy_options::overwrite_existing);
  Result<std::vector<LogEntry>> entries = log(repo_, std::nullopt);
  ASSERT_FALSE(entries);
  EXPECT_EQ(entries.error().message(), "history loops back to commit " + a);
}

TEST_F(Refs, CommitOnDetachedHeadKeepsBranches) {
  const std::string a = commit_value(JsonValue(1), "one");
  ASSERT_TRUE(write_file(head_path(repo_), a + "\n"));
  Result<std::string> tl = write_object(objects_dir(repo_), JsonValue(2));
  ASSERT_TRUE(tl);
  Result<std::string> id = commit(repo_, *tl, Author{"a", "e"}, "m");
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().message(), "cannot commit while HEAD is detached");
  EXPECT_EQ(*read_file(branch_path(repo_, "main")), a + "\n");
}

}  // namespace
}  // namespace tesmo
