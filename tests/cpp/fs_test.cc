#include "core/store/fs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

using Fs = testing_support::TempDir;

struct ParentCase {
  const char* path;
  const char* parent;
};

class ParentPath : public testing::TestWithParam<ParentCase> {};

TEST_P(ParentPath, RemovesLastComponentTextually) {
  EXPECT_EQ(parent_path(GetParam().path), GetParam().parent);
}

INSTANTIATE_TEST_SUITE_P(Table, ParentPath,
                         testing::Values(ParentCase{"/a/b/c", "/a/b"}, ParentCase{"/a/b/", "/a"},
                                         ParentCase{"/a", "/"}, ParentCase{"/", ""},
                                         ParentCase{"", ""}, ParentCase{"a", ""},
                                         ParentCase{"/a/../b/..", "/a/../b"},
                                         ParentCase{"/a//b", "/a"}, ParentCase{"a/b", "a"}));

TEST(JoinPath, DoesNotDoubleSlash) {
  EXPECT_EQ(join_path("w", ".tesmo"), "w/.tesmo");
  EXPECT_EQ(join_path("w/", ".tesmo"), "w/.tesmo");
  EXPECT_EQ(join_path("/", ".tesmo"), "/.tesmo");
}

TEST_F(Fs, MakeDirsCreatesAncestorsAndAcceptsExisting) {
  const std::string deep = path("a/b/c");
  ASSERT_TRUE(make_dirs(deep));
  EXPECT_TRUE(is_directory(deep));
  EXPECT_TRUE(make_dirs(deep));
}

TEST_F(Fs, MakeDirsOverAFileFails) {
  ASSERT_TRUE(write_file(path("f"), "x"));
  Status s = make_dirs(path("f/sub"));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "Not a directory (os error 20)");
}

TEST_F(Fs, ReadMissingFileGivesOsText) {
  Result<std::string> r = read_file(path("missing"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "No such file or directory (os error 2)");
}

TEST_F(Fs, AtomicWriteReplacesAndLeavesNoTemporary) {
  const std::string file = path("HEAD");
  ASSERT_TRUE(write_file(file, "old contents that are longer"));
  ASSERT_TRUE(write_file_atomic(file, "new\n"));
  EXPECT_EQ(*read_file(file), "new\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(Fs, PendingFileDroppedWithoutCommitLeavesNothing) {
  {
    Result<PendingFile> f = PendingFile::create(path("obj"));
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->write("partial"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

// A write that hits the file-size limit fails with the OS text and leaves
// the old file untouched, with no temporary file beside it.
TEST_F(Fs, AtomicWriteFailureKeepsOldFile) {
  const std::string file = path("branch");
  ASSERT_TRUE(write_file(file, "sha256:old\n"));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Status s = write_file_atomic(file, std::string(100000, 'x'));
    _exit(!s && s.error().message() == "File too large (os error 27)" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(*read_file(file), "sha256:old\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(Fs, CurrentDirMatchesGetcwd) {
  Result<std::string> cwd = current_dir();
  ASSERT_TRUE(cwd);
  EXPECT_EQ(*cwd, std::filesystem::current_path().string());
}

}  // namespace
}  // namespace tesmo
