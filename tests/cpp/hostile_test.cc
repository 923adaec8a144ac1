// Repositories that come from someone else: whatever HEAD, the refs and the
// directories hold, nothing is written or removed outside the repository,
// no read waits on a special file or takes more than a small bound, and no
// writer goes on without the lock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/store/fs.h"
#include "core/store/object.h"
#include "core/store/repo.h"
#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

namespace fs = std::filesystem;

// Every path below `dir`, with the size of each regular file.
std::vector<std::string> tree_of(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string entry = it->path().string();
    if (it->is_regular_file(ec)) entry += " " + std::to_string(it->file_size(ec));
    out.push_back(entry);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class Hostile : public testing_support::TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    Result<Repo> made = init(path("work"));
    ASSERT_TRUE(made);
    repo_ = *made;
    outside_ = path("outside");
    ASSERT_TRUE(make_dirs(outside_ + "/heads"));
    ASSERT_TRUE(write_file(outside_ + "/heads/planted", "sha256:" + std::string(64, 'c') + "\n"));
    before_ = tree_of(outside_);
    first_ = commit_text("{}");
  }
  void TearDown() override {
    // Nothing appeared, changed or went away outside the repository.
    EXPECT_EQ(tree_of(outside_), before_);
    std::vector<std::string> top;
    for (const auto& e : fs::directory_iterator(dir_)) top.push_back(e.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"outside", "work"}));
    TempDir::TearDown();
  }

  std::string commit_text(const std::string& text) {
    Result<std::string> id = commit_timeline(repo_, text, std::nullopt, std::nullopt, "m");
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : std::string();
  }
  std::string commit_error(const std::string& text = "[1]") {
    Result<std::string> id = commit_timeline(repo_, text, std::nullopt, std::nullopt, "m");
    EXPECT_FALSE(id);
    return id ? std::string() : id.error().message();
  }
  // Replaces a directory of the repository by a link to one outside it.
  void link_out(const std::string& relative, const std::string& target) {
    fs::remove_all(repo_.root + "/" + relative);
    fs::create_directories(outside_ + "/" + target);
    before_ = tree_of(outside_);
    ASSERT_EQ(::symlink((outside_ + "/" + target).c_str(), (repo_.root + "/" + relative).c_str()), 0);
  }

  Repo repo_;
  std::string outside_;
  std::vector<std::string> before_;
  std::string first_;
};

// Every reader of HEAD takes a name that breaks the branch-name rules as a
// malformed HEAD, before any path is built from it.
TEST_F(Hostile, HeadNamingAPathOutsideIsMalformedEverywhere) {
  const std::string names[] = {
      "../../../outside/escaped/file",
      "../../../../../../../../../../tmp/x/escaped/file",
      dir_ + "/outside/absolute",
      "/" + dir_ + "/outside/double",
      "a//b",
      std::string("main\0../../x", 12),
  };
  using Op = std::function<std::string()>;
  const auto error_of = [](const auto& result) { return result ? std::string("no error") : result.error().message(); };
  const std::vector<std::pair<const char*, Op>> ops = {
      {"commit", [&] { return commit_error(); }},
      {"read_head", [&] { return error_of(read_head(repo_)); }},
      {"current_branch", [&] { return error_of(current_branch(repo_)); }},
      {"resolve HEAD", [&] { return error_of(resolve(repo_, "HEAD")); }},
      {"create_branch", [&] { return error_of(create_branch(repo_, "new")); }},
      {"delete_branch", [&] { return error_of(delete_branch(repo_, "main")); }},
      {"log", [&] { return error_of(log(repo_, "HEAD")); }},
  };
  for (const std::string& name : names) {
    const std::string contents = "ref: refs/heads/" + name;
    ASSERT_TRUE(write_file(head_path(repo_), contents + "\n"));
    for (const auto& [label, op] : ops) {
      SCOPED_TRACE(std::string(label) + " with HEAD " + contents);
      std::string quoted = contents;
      if (const std::size_t nul = quoted.find('\0'); nul != std::string::npos) quoted.replace(nul, 1, "\\0");
      EXPECT_EQ(op(), "HEAD has unexpected contents: \"" + quoted + "\"");
    }
  }
  EXPECT_FALSE(path_exists("/tmp/x/escaped/file"));
  EXPECT_EQ(*read_branch(repo_, "main"), first_);
}

// Links among the repository's directories are followed for reading, but
// nothing is written through them.
struct LinkedCase {
  const char* label;
  std::string linked;  // the directory replaced by a link, relative to the repository
  bool branch_write;   // create_branch rather than commit
};

class LinkedDirectory : public Hostile, public testing::WithParamInterface<LinkedCase> {};

TEST_P(LinkedDirectory, NothingIsWrittenThroughIt) {
  const LinkedCase& c = GetParam();
  const std::string saved = *read_file(repo_.root + "/refs/heads/main");
  link_out(c.linked, "linked");
  if (c.linked == "refs/heads") {
    ASSERT_TRUE(write_file(outside_ + "/linked/main", saved));
    before_ = tree_of(outside_);
    EXPECT_EQ(*read_branch(repo_, "main"), first_);
  }
  Result<std::string> written = c.branch_write ? create_branch(repo_, "other", first_)
                                               : commit_timeline(repo_, "[1]", std::nullopt, std::nullopt, "m");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message(), "not following the symbolic link " + repo_.root + "/" + c.linked);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LinkedDirectory,
    testing::Values(LinkedCase{"heads_commit", "refs/heads", false}, LinkedCase{"refs_commit", "refs", false},
                    LinkedCase{"heads_create_branch", "refs/heads", true},
                    LinkedCase{"objects", "objects", false},
                    LinkedCase{"fan_out", "objects/" + hash_text("[1]").substr(7, 2), false}),
    [](const testing::TestParamInfo<LinkedCase>& info) { return std::string(info.param.label); });

TEST_F(Hostile, NoBranchIsRemovedThroughALinkedDirectory) {
  link_out("refs/heads", "heads");
  ASSERT_TRUE(write_file(outside_ + "/heads/planted", "sha256:" + std::string(64, 'c') + "\n"));
  ASSERT_TRUE(write_file(outside_ + "/heads/main", first_ + "\n"));
  before_ = tree_of(outside_);
  Status s = delete_branch(repo_, "planted");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "not following the symbolic link " + repo_.root + "/refs/heads");
}

TEST_F(Hostile, ANestedBranchDirectoryLinkedOutIsRefused) {
  ASSERT_TRUE(switch_branch(repo_, "main"));
  ASSERT_TRUE(create_branch(repo_, "feature/x", first_));
  ASSERT_TRUE(switch_branch(repo_, "feature/x"));
  const std::string saved = *read_file(repo_.root + "/refs/heads/feature/x");
  link_out("refs/heads/feature", "feature");
  ASSERT_TRUE(write_file(outside_ + "/feature/x", saved));
  before_ = tree_of(outside_);
  EXPECT_EQ(commit_error(), "not following the symbolic link " + repo_.root + "/refs/heads/feature");
}

// HEAD, branch files and objects are read only when they are regular files:
// anything else is refused at once, as a failure to read that path.
TEST_F(Hostile, SpecialFilesAreRefusedAtOnce) {
  const std::string head = head_path(repo_);
  const std::string branch = repo_.root + "/refs/heads/main";
  const std::string object = *object_path(objects_dir(repo_), first_);
  struct Kind {
    const char* label;
    std::function<int(const std::string&)> make;
  };
  const Kind kinds[] = {
      {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0666); }},
      {"link to /dev/zero", [](const std::string& p) { return ::symlink("/dev/zero", p.c_str()); }},
      {"link to /dev/null", [](const std::string& p) { return ::symlink("/dev/null", p.c_str()); }},
      {"socket",
       [this](const std::string& p) {
         // Bound at a short path, as socket addresses are short, then moved.
         const std::string bound = path("s");
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         struct sockaddr_un addr = {};
         addr.sun_family = AF_UNIX;
         if (bound.size() >= sizeof addr.sun_path) return -1;
         std::copy(bound.begin(), bound.end(), addr.sun_path);
         const int rc = ::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
         ::close(fd);
         return rc | ::rename(bound.c_str(), p.c_str());
       }},
      {"directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0777); }},
  };
  const auto error_of = [](const auto& result) { return result ? std::string("no error") : result.error().message(); };
  for (const Kind& kind : kinds) {
    for (const std::string& target : {head, branch, object}) {
      SCOPED_TRACE(std::string(kind.label) + " at " + target);
      const std::string saved = *read_file(target);
      ASSERT_TRUE(fs::remove(target));
      ASSERT_EQ(kind.make(target), 0);
      const auto started = std::chrono::steady_clock::now();
      const std::string opened = target == object ? "opening " : "reading ";
      if (target == object) {
        const std::string message = error_of(read_commit(repo_, first_));
        // A directory has always failed with the system's text alone.
        EXPECT_EQ(message, std::string(kind.label) == "directory" ? "Is a directory (os error 21)"
                                                                 : opened + target);
      } else {
        EXPECT_EQ(error_of(resolve(repo_, "HEAD")), opened + target);
        EXPECT_EQ(commit_error(), opened + target);
      }
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
      fs::remove_all(target);
      ASSERT_TRUE(write_file(target, saved));
    }
  }
}

TEST_F(Hostile, OverlongRefFilesAreMalformedAndReadNoFurther) {
  const std::string head = head_path(repo_);
  const std::string branch = repo_.root + "/refs/heads/main";
  // Sparse: a gigabyte on paper, read only to its first few KiB.
  for (const std::string& file : {head, branch}) {
    const std::string saved = *read_file(file);
    ASSERT_TRUE(write_file(file, "ref: refs/heads/main" + std::string(5000, ' ') + "x"));
    const std::string quoted = file == head ? "\"ref: refs/heads/main" + std::string(20, ' ') + "\"... (over 4096 bytes)"
                                            : "\"ref: refs/heads/main" + std::string(20, ' ') + "\"... (over 4096 bytes)";
    const std::string expected = file == head ? "HEAD has unexpected contents: " + quoted
                                              : "branch main has invalid contents: " + quoted;
    EXPECT_EQ(resolve(repo_, "HEAD").error().message(), expected);

    ASSERT_EQ(::truncate(file.c_str(), 0), 0);
    ASSERT_EQ(::truncate(file.c_str(), off_t{1} << 30), 0);
    const auto started = std::chrono::steady_clock::now();
    const std::string zeros = "\"" + [] {
      std::string z;
      for (int i = 0; i < 40; ++i) z += "\\0";
      return z;
    }() + "\"... (over 4096 bytes)";
    EXPECT_EQ(resolve(repo_, "HEAD").error().message(),
              file == head ? "HEAD has unexpected contents: " + zeros : "branch main has invalid contents: " + zeros);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    ASSERT_TRUE(write_file(file, saved));
  }
  // A ref file just under the bound still reads.
  ASSERT_TRUE(write_file(branch, first_ + std::string(4096 - first_.size(), '\n')));
  EXPECT_EQ(*resolve(repo_, "main"), first_);
}

// A writer that cannot open the repository for its lock stops before it
// writes anything, whatever the reason.
TEST_F(Hostile, NoWriteWithoutTheLock) {
  const std::string branch = repo_.root + "/refs/heads/main";
  const std::string root = repo_.root;
  // Run as an unprivileged user in a child, where a directory without read
  // permission cannot be opened even by its owner.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0) {
      for (const auto& e : fs::recursive_directory_iterator(dir_)) (void)::lchown(e.path().c_str(), 65534, 65534);
      (void)::chown(dir_.c_str(), 65534, 65534);
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    }
    if (::chmod(root.c_str(), 0311) != 0) ::_exit(4);
    Result<std::string> id = commit_timeline(repo_, "[2]", std::nullopt, std::nullopt, "m");
    const bool refused = !id && id.error().message() == "cannot lock the repository " + root +
                                                            ": Permission denied (os error 13)";
    const bool others_refused = !create_branch(repo_, "b", first_) && !switch_branch(repo_, "main") &&
                                !delete_branch(repo_, "main");
    (void)::chmod(root.c_str(), 0755);
    if (!refused) {
      std::fprintf(stderr, "commit: %s\n", id ? id->c_str() : id.error().message().c_str());
      ::_exit(5);
    }
    ::_exit(others_refused ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(*read_branch(repo_, "main"), first_);
  EXPECT_FALSE(path_exists(repo_.root + "/refs/heads/b"));

  // A repository directory that is missing fails the same way.
  Result<std::string> id = create_branch(Repo{path("work/nothing-here")}, "b", first_);
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().message(), "cannot lock the repository " + path("work/nothing-here") +
                                      ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tesmo
