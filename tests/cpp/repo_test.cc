#include "core/store/repo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/store/fs.h"
#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

namespace fs = std::filesystem;
using RepoTest = testing_support::TempDir;

TEST_F(RepoTest, InitCreatesLayoutInMissingWorkdir) {
  Result<Repo> repo = init(path("new/work"));
  ASSERT_TRUE(repo) << repo.error().message();
  EXPECT_EQ(repo->root, path("new/work/.tesmo"));
  EXPECT_EQ(*read_file(repo->root + "/HEAD"), "ref: refs/heads/main\n");
  EXPECT_TRUE(fs::is_empty(repo->root + "/objects"));
  EXPECT_TRUE(fs::is_empty(repo->root + "/refs/heads"));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(repo->root)) ++entries;
  EXPECT_EQ(entries, 3);  // HEAD, objects, refs
}

TEST_F(RepoTest, InitKeepsRelativeRoot) {
  ASSERT_EQ(::chdir(dir_.c_str()), 0);
  Result<Repo> repo = init("w");
  ASSERT_TRUE(repo);
  EXPECT_EQ(repo->root, "w/.tesmo");
}

TEST_F(RepoTest, InitRefusesAnythingAlreadyThere) {
  ASSERT_TRUE(init(path("a")));
  ASSERT_TRUE(write_file(path("a/.tesmo/HEAD"), "ref: refs/heads/keep\n"));
  ASSERT_TRUE(make_dirs(path("b")));
  ASSERT_TRUE(write_file(path("b/.tesmo"), "a file"));
  for (const char* workdir : {"a", "b"}) {
    Result<Repo> again = init(path(workdir));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(),
              "tesmo repository already exists at " + path(workdir) + "/.tesmo");
  }
  EXPECT_EQ(*read_file(path("a/.tesmo/HEAD")), "ref: refs/heads/keep\n");
}

TEST_F(RepoTest, InitTreatsDanglingSymlinkAsAbsent) {
  ASSERT_TRUE(make_dirs(path("w")));
  ASSERT_EQ(::symlink("nowhere", path("w/.tesmo").c_str()), 0);
  // The existence test passes, but mkdir does not create through a dangling
  // link: the OS error comes back without context, and nothing is created.
  Result<Repo> repo = init(path("w"));
  ASSERT_FALSE(repo);
  EXPECT_EQ(repo.error().message(), "File exists (os error 17)");
  EXPECT_FALSE(fs::exists(path("w/nowhere")));
}

TEST_F(RepoTest, InitUnderAFileReportsOsText) {
  ASSERT_TRUE(write_file(path("file"), ""));
  Result<Repo> repo = init(path("file/w"));
  ASSERT_FALSE(repo);
  EXPECT_EQ(repo.error().message(), "Not a directory (os error 20)");
}

TEST_F(RepoTest, DiscoverWalksUpWithoutNormalising) {
  ASSERT_TRUE(init(path("w")));
  ASSERT_TRUE(make_dirs(path("w/a/b/c")));
  Result<Repo> repo = discover(path("w/a/b/c"));
  ASSERT_TRUE(repo);
  EXPECT_EQ(repo->root, path("w/.tesmo"));
  // ".." is removed like any name, so this finds w/.tesmo through w/a/..
  Result<Repo> dotted = discover(path("w/a/../a/b"));
  ASSERT_TRUE(dotted);
  EXPECT_EQ(dotted->root, path("w/a/../.tesmo"));
}

TEST_F(RepoTest, DiscoverJoinsRelativeStartToCwd) {
  ASSERT_TRUE(init(path("w")));
  ASSERT_TRUE(make_dirs(path("w/sub/dir")));
  ASSERT_EQ(::chdir(path("w").c_str()), 0);
  Result<Repo> repo = discover("sub/dir");
  ASSERT_TRUE(repo);
  EXPECT_EQ(repo->root, fs::current_path().string() + "/.tesmo");
  Result<Repo> from_cwd = discover();
  ASSERT_TRUE(from_cwd);
  EXPECT_EQ(from_cwd->root, repo->root);
}

TEST_F(RepoTest, NearestRepositoryWins) {
  ASSERT_TRUE(init(path("outer")));
  ASSERT_TRUE(init(path("outer/inner")));
  Result<Repo> repo = open(path("outer/inner"));
  ASSERT_TRUE(repo);
  EXPECT_EQ(repo->root, path("outer/inner/.tesmo"));
}

TEST_F(RepoTest, DiscoverAcceptsBareDirectoryAndIgnoresFile) {
  ASSERT_TRUE(make_dirs(path("w/.tesmo")));  // no HEAD, refs or objects
  ASSERT_TRUE(make_dirs(path("w/x")));
  ASSERT_TRUE(write_file(path("w/x/.tesmo"), "not a directory"));
  Result<Repo> repo = discover(path("w/x"));
  ASSERT_TRUE(repo);
  EXPECT_EQ(repo->root, path("w/.tesmo"));
}

TEST_F(RepoTest, DiscoverFailsAtTheTop) {
  if (path_exists("/.tesmo")) GTEST_SKIP() << "/.tesmo exists on this machine";
  for (const std::string& start : {std::string("/"), path("nothing/here")}) {
    Result<Repo> repo = discover(start);
    ASSERT_FALSE(repo);
    EXPECT_EQ(repo.error().message(), "not in a tesmo repository (run `tesmo init` first)");
  }
}

}  // namespace
}  // namespace tesmo
