// Histories with merge commits: recording several parents, merge bases and
// ancestry across every parent, fast-forwards, and damaged stores.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/store/object.h"
#include "core/store/repo.h"
#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

namespace fs = std::filesystem;

class MergeHistory : public testing_support::TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    Result<Repo> made = init(path("w"));
    ASSERT_TRUE(made) << made.error().message();
    repo_ = *made;
  }

  // A commit on the current branch; each message gives a timeline of its
  // own, so no two commits share an id.
  std::string make(const std::string& message, const std::vector<std::string>& extra = {}) {
    Result<std::string> timeline =
        write_object(objects_dir(repo_), JsonObject{{"cut", JsonValue(message)}});
    EXPECT_TRUE(timeline) << timeline.error().message();
    Result<std::string> id = commit(repo_, *timeline, Author{"a", "a@x"}, message, extra);
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : "";
  }

  std::string merge(const std::vector<std::string>& parents, const std::string& message) {
    Result<std::string> id = commit_merge(repo_, timeline_of(parents.front()), Author{"a", "a@x"},
                                          message, parents);
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : "";
  }

  std::string timeline_of(const std::string& id) { return read_commit_id(repo_, id)->timeline; }

  void branch_at(const std::string& name, const std::string& id) {
    ASSERT_TRUE(create_branch(repo_, name, id));
    ASSERT_TRUE(switch_branch(repo_, name));
  }

  // Points HEAD at a branch that has no commits yet.
  void unborn(const std::string& name) {
    ASSERT_TRUE(write_file(head_path(repo_), "ref: refs/heads/" + name + "\n"));
  }

  std::string base(const std::string& a, const std::string& b) {
    Result<std::optional<std::string>> found = merge_base(repo_, a, b);
    EXPECT_TRUE(found) << found.error().message();
    return found && *found ? **found : "none";
  }

  bool ancestor(const std::string& a, const std::string& b) {
    Result<bool> found = is_ancestor(repo_, a, b);
    EXPECT_TRUE(found) << found.error().message();
    return found && *found;
  }

  std::string branch(const std::string& name) { return read_branch(repo_, name)->value_or(""); }

  Repo repo_;
};

TEST_F(MergeHistory, LinearHistory) {
  const std::string a = make("a"), b = make("b"), c = make("c");
  EXPECT_EQ(base(a, c), a);
  EXPECT_EQ(base(c, a), a);
  EXPECT_EQ(base(b, b), b);
  EXPECT_EQ(base("HEAD", b), b);  // refs resolve
  EXPECT_TRUE(ancestor(a, c));
  EXPECT_TRUE(ancestor(c, c));
  EXPECT_FALSE(ancestor(c, a));
}

TEST_F(MergeHistory, DiamondMergeRecordsBothParentsAndWalksThemAll) {
  const std::string root = make("root");
  const std::string ours = make("ours");
  branch_at("side", root);
  const std::string theirs = make("theirs");
  EXPECT_EQ(base(ours, theirs), root);
  EXPECT_EQ(base(theirs, ours), root);

  ASSERT_TRUE(switch_branch(repo_, "main"));
  const std::string merged = merge({ours, theirs}, "merge side");
  EXPECT_EQ(branch("main"), merged);
  EXPECT_EQ(branch("side"), theirs);
  EXPECT_EQ(read_commit_id(repo_, merged)->parents, (std::vector<std::string>{ours, theirs}));
  // The log follows first parents only.
  Result<std::vector<LogEntry>> walked = log(repo_, std::nullopt);
  ASSERT_TRUE(walked);
  std::vector<std::string> ids;
  for (const LogEntry& entry : *walked) ids.push_back(entry.id);
  EXPECT_EQ(ids, (std::vector<std::string>{merged, ours, root}));

  // Only the second parent leads to theirs.
  EXPECT_TRUE(ancestor(theirs, merged));
  EXPECT_FALSE(ancestor(merged, theirs));
  EXPECT_EQ(base(merged, theirs), theirs);
  ASSERT_TRUE(switch_branch(repo_, "side"));
  const std::string later = make("later on side");
  EXPECT_EQ(base(merged, later), theirs);
  EXPECT_EQ(base(later, merged), theirs);
}

TEST_F(MergeHistory, CrissCrossHasTwoBestBases) {
  const std::string root = make("root");
  const std::string a1 = make("a1");
  branch_at("side", root);
  const std::string b1 = make("b1");
  ASSERT_TRUE(switch_branch(repo_, "main"));
  const std::string a2 = merge({a1, b1}, "main takes side");
  ASSERT_TRUE(switch_branch(repo_, "side"));
  const std::string b2 = merge({b1, a1}, "side takes main");

  Result<std::vector<std::string>> bases = merge_bases(repo_, a2, b2);
  ASSERT_TRUE(bases) << bases.error().message();
  std::vector<std::string> sorted = *bases;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> expected{a1, b1};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);  // root is below both, so it is not a best base
  // Both are one step from either side: the smaller id comes first.
  EXPECT_EQ(bases->front(), expected.front());
  EXPECT_EQ(base(a2, b2), expected.front());
  EXPECT_EQ(base(b2, a2), expected.front());
}

TEST_F(MergeHistory, NearerBaseComesFirst) {
  // main: root - a1 - a2 - a3 - m (merging b1); side: root - b1 - s (merging a1).
  const std::string root = make("root");
  const std::string a1 = make("a1");
  make("a2");
  const std::string a3 = make("a3");
  branch_at("side", root);
  const std::string b1 = make("b1");
  const std::string s = merge({b1, a1}, "side takes a1");
  ASSERT_TRUE(switch_branch(repo_, "main"));
  const std::string m = merge({a3, b1}, "main takes b1");
  // Both a1 and b1 are best bases; b1 is one step from either side, a1
  // three from m.
  Result<std::vector<std::string>> bases = merge_bases(repo_, m, s);
  ASSERT_TRUE(bases);
  EXPECT_EQ(*bases, (std::vector<std::string>{b1, a1}));
  EXPECT_EQ(base(s, m), b1);
  EXPECT_FALSE(ancestor(m, s));
  EXPECT_TRUE(ancestor(a1, s));
  EXPECT_TRUE(ancestor(root, m));
}

TEST_F(MergeHistory, UnrelatedHistoriesHaveNoBase) {
  const std::string one = make("one");
  unborn("other");
  const std::string two = make("two");
  EXPECT_TRUE(read_commit_id(repo_, two)->parents.empty());
  EXPECT_EQ(base(one, two), "none");
  Result<std::vector<std::string>> bases = merge_bases(repo_, one, two);
  ASSERT_TRUE(bases);
  EXPECT_TRUE(bases->empty());
  EXPECT_FALSE(ancestor(one, two));
  EXPECT_FALSE(ancestor(two, one));
}

TEST_F(MergeHistory, LoopInDamagedStoreFailsEveryWalk) {
  const std::string root = make("root");
  const std::string middle = make("middle");
  const std::string top = make("top");
  // The root's file replaced by that of a commit whose parent is the top.
  Commit looped = *read_commit_id(repo_, root);
  looped.parents = {top};
  Result<std::string> forged = write_object(objects_dir(repo_), commit_to_json(looped));
  ASSERT_TRUE(forged);
  fs::copy_file(*object_path(objects_dir(repo_), *forged), *object_path(objects_dir(repo_), root),
                fs::copy_options::overwrite_existing);
  unborn("other");
  const std::string elsewhere = make("elsewhere");

  for (const auto& [a, b] : {std::pair{top, elsewhere}, std::pair{elsewhere, middle}}) {
    Result<std::vector<std::string>> bases = merge_bases(repo_, a, b);
    ASSERT_FALSE(bases);
    EXPECT_EQ(bases.error().message().rfind("history loops back to commit ", 0), 0u)
        << bases.error().message();
  }
  Result<bool> inside = is_ancestor(repo_, elsewhere, top);
  ASSERT_FALSE(inside);
  EXPECT_EQ(inside.error().message().rfind("history loops back to commit ", 0), 0u);
  Result<std::optional<std::string>> one = merge_base(repo_, top, middle);
  ASSERT_FALSE(one);
}

TEST_F(MergeHistory, MissingParentFailsTheWalk) {
  const std::string root = make("root");
  const std::string top = make("top");
  fs::remove(*object_path(objects_dir(repo_), root));
  Result<std::optional<std::string>> found = merge_base(repo_, top, top);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().message(),
            "opening " + *object_path(objects_dir(repo_), root)) << found.error().message();
  // A commit is found at once among its own history, before its parents are read.
  Result<bool> below = is_ancestor(repo_, top, top);
  ASSERT_TRUE(below);
  EXPECT_TRUE(*below);
}

TEST_F(MergeHistory, CommitWithExtraParents) {
  const std::string root = make("root");
  branch_at("side", root);
  const std::string theirs = make("theirs");
  ASSERT_TRUE(switch_branch(repo_, "main"));
  const std::string merged = make("merged", {theirs});
  EXPECT_EQ(read_commit_id(repo_, merged)->parents, (std::vector<std::string>{root, theirs}));
  EXPECT_EQ(branch("main"), merged);
}

struct Refusal {
  const char* name;
  std::string expected;  // the message's start
};

TEST_F(MergeHistory, MergeCommitsRefusedLeaveBranchesAlone) {
  const std::string root = make("root");
  const std::string ours = make("ours");
  branch_at("side", root);
  const std::string theirs = make("theirs");
  ASSERT_TRUE(switch_branch(repo_, "main"));
  const std::string timeline = timeline_of(ours);
  const Author author{"a", "a@x"};
  const auto refused = [&](const std::vector<std::string>& parents) {
    Result<std::string> id = commit_merge(repo_, timeline, author, "m", parents);
    EXPECT_FALSE(id);
    return id ? std::string() : id.error().message();
  };
  EXPECT_EQ(refused({ours}), "a merge commit needs at least two parents");
  EXPECT_EQ(refused({ours, ours}), "commit " + ours + " is named twice as a parent");
  EXPECT_EQ(refused({root, theirs}), "branch main moved to " + ours +
                                         " while the merge was made (it was at " + root +
                                         "); nothing was changed");
  EXPECT_EQ(refused({ours, theirs, theirs}), "commit " + theirs + " is named twice as a parent");
  EXPECT_EQ(refused({ours, timeline}), "parsing commit " + timeline);
  Result<std::string> not_stored = commit_merge(repo_, timeline, author, "m", {ours, "sha256:" + std::string(64, 'e')});
  EXPECT_FALSE(not_stored);
  EXPECT_EQ(branch("main"), ours);
  EXPECT_EQ(branch("side"), theirs);

  unborn("fresh");
  EXPECT_EQ(refused({ours, theirs}), "branch fresh has no commits yet: nothing to merge into");
  ASSERT_TRUE(write_file(head_path(repo_), ours + "\n"));
  EXPECT_EQ(refused({ours, theirs}), "cannot commit a merge while HEAD is detached");
  EXPECT_EQ(branch("main"), ours);
}

TEST_F(MergeHistory, FastForward) {
  const std::string root = make("root");
  branch_at("side", root);
  const std::string one = make("one");
  const std::string two = make("two");
  ASSERT_TRUE(switch_branch(repo_, "main"));

  Status moved = fast_forward(repo_, "main", one, two);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().message(),
            "branch main moved to " + root + " (expected " + one + "); nothing was changed");
  Status backwards = fast_forward(repo_, "side", two, one);
  ASSERT_FALSE(backwards);
  EXPECT_EQ(backwards.error().message(),
            "cannot fast-forward side: " + two + " is not an ancestor of " + one);
  Status missing = fast_forward(repo_, "nowhere", root, two);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "branch nowhere does not exist");
  EXPECT_FALSE(fast_forward(repo_, "../x", root, two));
  EXPECT_EQ(branch("main"), root);
  EXPECT_EQ(branch("side"), two);

  ASSERT_TRUE(fast_forward(repo_, "main", root, two));
  EXPECT_EQ(branch("main"), two);
  ASSERT_TRUE(fast_forward(repo_, "main", two, two));  // already there
  EXPECT_EQ(branch("main"), two);
}

}  // namespace
}  // namespace tesmo
