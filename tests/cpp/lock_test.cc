#include "core/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/repo.h"
#include "temp_dir.h"

namespace tesmo {
namespace {

// The pauses the lock asks for, and what the test does at each.
struct Script {
  static inline int pauses = 0;
  static inline int stop_at = 0;     // the pause that asks the wait to stop
  static inline int release_at = 0;  // the pause at which the holder lets go
  static inline int holder = -1;
  static bool pause(int milliseconds) {
    EXPECT_GE(milliseconds, 1);
    EXPECT_LE(milliseconds, 100);
    ++pauses;
    if (pauses == release_at) ::flock(holder, LOCK_UN);
    return pauses != stop_at;
  }
};

class LockTest : public testing_support::TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    repo_ = *init(path("w"));
    // Another open file description of the directory holds the lock, as
    // another process would.
    Script::holder = ::open(repo_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(Script::holder, LOCK_EX), 0);
    Script::pauses = 0;
    set_lock_pause(&Script::pause);
  }
  void TearDown() override {
    set_lock_pause(nullptr);
    ::close(Script::holder);
    TempDir::TearDown();
  }
  Repo repo_;
};

TEST_F(LockTest, APauseThatAsksToStopEndsTheWait) {
  Script::stop_at = 3;
  Script::release_at = 0;
  Result<RepoLock> lock = RepoLock::acquire(repo_);
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().kind(), ErrorKind::kInterrupted);
  EXPECT_EQ(Script::pauses, 3);
}

TEST_F(LockTest, TheWaitEndsWhenTheHolderLetsGo) {
  Script::stop_at = 0;
  Script::release_at = 4;
  Result<RepoLock> lock = RepoLock::acquire(repo_);
  ASSERT_TRUE(lock) << lock.error().message();
  EXPECT_EQ(Script::pauses, 4);
  // Now this one holds it: the old holder cannot take it back.
  EXPECT_NE(::flock(Script::holder, LOCK_EX | LOCK_NB), 0);
}

}  // namespace
}  // namespace tesmo
