// The repository lock: an advisory flock(2) on the .tesmo directory itself.
// No lock file is created, and the kernel drops the lock when its holder
// dies, so a killed process never leaves a repository locked. Writers of
// HEAD and branch files hold it from the first read they base the write on
// until the write is done.
#pragma once

#include <chrono>
#include <string>

#include "core/value/error.h"
#include "core/store/fs.h"
#include "core/store/repo.h"

namespace tesmo {

// How long a writer waits for another process to let the lock go, unless
// set_lock_wait_limit says otherwise.
inline constexpr std::chrono::milliseconds kLockWaitLimit{30000};

// The limit every later wait uses, kLockWaitLimit until changed; a negative
// limit counts as zero (one try, no wait). Lets tests see a wait give up
// without sitting through the full limit. A wait reads the limit once, when
// it starts.
void set_lock_wait_limit(std::chrono::milliseconds limit);

// A limit as the give-up message says it: whole seconds as "30 s", other
// limits of a second or more as "1.5 s", shorter ones as "250 ms".
std::string describe_lock_wait(std::chrono::milliseconds limit);

// Sleeps for about `milliseconds` between two tries for the lock, and says
// whether to go on waiting: false asks the wait to stop (the embedding
// program has an interrupt to deliver). The default sleeps and goes on.
using LockPause = bool (*)(int milliseconds);

// The pause every later wait uses; the Python module sets one that lets
// other threads run and delivers Ctrl-C. Not meant to change while a wait
// is going on.
void set_lock_pause(LockPause pause);

class RepoLock {
 public:
  // Takes the exclusive lock, trying again with growing pauses while
  // another process holds it. Gives up after the wait limit with "another
  // process holds the lock of " + path + " and kept it for " +
  // describe_lock_wait(limit) + "; nothing was changed"; a pause that asks
  // to stop ends the wait with an interrupted error. A repository directory
  // that cannot be opened, for whatever reason (missing, unreadable, no
  // descriptor left), fails with "cannot lock the repository " + path +
  // ": " + the OS error text: a writer never goes on without the lock.
  static Result<RepoLock> acquire(const Repo& repo);

 private:
  explicit RepoLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace tesmo
