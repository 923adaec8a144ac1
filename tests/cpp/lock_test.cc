#include "core/store/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "core/store/fs.h"
#include "core/store/repo.h"
#include "temp_dir.h"

namespace tesmo {
namespace {

using std::chrono::milliseconds;

// The pauses the lock asks for, and what the test does at each. Every pause
// really sleeps, as the default one does, so that the wait's clock moves.
struct Script {
  static inline int pauses = 0;
  static inline long long paused_ms = 0;  // the sum of the pauses asked for
  static inline int stop_at = 0;     // the pause that asks the wait to stop
  static inline int release_at = 0;  // the pause at which the holder lets go
  static inline int holder = -1;
  static bool pause(int milliseconds) {
    EXPECT_GE(milliseconds, 1);
    EXPECT_LE(milliseconds, 100);
    ++pauses;
    paused_ms += milliseconds;
    if (pauses == release_at) ::flock(holder, LOCK_UN);
    const struct timespec sleep = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    ::nanosleep(&sleep, nullptr);
    return pauses != stop_at;
  }
};

long long monotonic_ms() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
    Script::paused_ms = 0;
    Script::stop_at = 0;
    Script::release_at = 0;
    set_lock_pause(&Script::pause);
  }
  void TearDown() override {
    set_lock_pause(nullptr);
    set_lock_wait_limit(kLockWaitLimit);
    ::close(Script::holder);
    TempDir::TearDown();
  }
  Repo repo_;

  std::string gave_up(const std::string& limit) const {
    return "another process holds the lock of " + display_path(repo_.root) + " and kept it for " + limit +
           "; nothing was changed";
  }
};

TEST_F(LockTest, APauseThatAsksToStopEndsTheWait) {
  Script::stop_at = 3;
  Result<RepoLock> lock = RepoLock::acquire(repo_);
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().kind(), ErrorKind::kInterrupted);
  EXPECT_EQ(Script::pauses, 3);
}

TEST_F(LockTest, TheWaitEndsWhenTheHolderLetsGo) {
  Script::release_at = 4;
  Result<RepoLock> lock = RepoLock::acquire(repo_);
  ASSERT_TRUE(lock) << lock.error().message();
  EXPECT_EQ(Script::pauses, 4);
  // Now this one holds it: the old holder cannot take it back.
  EXPECT_NE(::flock(Script::holder, LOCK_EX | LOCK_NB), 0);
}

// A holder that never lets go: the writer gives up once the limit has passed,
// never earlier, and its pauses together stay within the limit.
TEST_F(LockTest, TheWaitGivesUpAtTheLimit) {
  set_lock_wait_limit(milliseconds(150));
  const long long started = monotonic_ms();
  Result<RepoLock> lock = RepoLock::acquire(repo_);
  const long long waited = monotonic_ms() - started;
  ASSERT_FALSE(lock);
  EXPECT_NE(lock.error().kind(), ErrorKind::kInterrupted);
  EXPECT_EQ(lock.error().message(), gave_up("150 ms"));
  EXPECT_GE(waited, 150);
  EXPECT_LT(waited, 5000);
  EXPECT_GE(Script::pauses, 2);  // short pauses first, not one sleep through the limit
  EXPECT_LE(Script::paused_ms, 150);
}

TEST_F(LockTest, ALimitOfZeroTriesOnceWithoutPausing) {
  for (const long long limit : {0LL, -5LL}) {
    SCOPED_TRACE(limit);
    set_lock_wait_limit(milliseconds(limit));
    Result<RepoLock> lock = RepoLock::acquire(repo_);
    ASSERT_FALSE(lock);
    EXPECT_EQ(lock.error().message(), gave_up("0 ms"));
    EXPECT_EQ(Script::pauses, 0);
  }
}

// The limit as the message says it. The default reads "30 s", the text
// users have always seen.
TEST(LockWaitText, SaysTheLimitInSecondsOrMilliseconds) {
  struct Case {
    long long limit_ms;
    const char* text;
  };
  EXPECT_EQ(kLockWaitLimit, milliseconds(30000));
  for (const Case& c : {Case{kLockWaitLimit.count(), "30 s"}, Case{1000, "1 s"}, Case{60000, "60 s"},
                        Case{1500, "1.5 s"}, Case{2250, "2.25 s"}, Case{1001, "1.001 s"},
                        Case{999, "999 ms"}, Case{150, "150 ms"}, Case{1, "1 ms"}, Case{0, "0 ms"},
                        Case{-20, "0 ms"}}) {
    EXPECT_EQ(describe_lock_wait(milliseconds(c.limit_ms)), c.text) << c.limit_ms << " ms";
  }
}

}  // namespace
}  // namespace tesmo
