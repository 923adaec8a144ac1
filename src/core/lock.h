// The repository lock: an advisory flock(2) on the .tesmo directory itself.
// No lock file is created, and the kernel drops the lock when its holder
// dies, so a killed process never leaves a repository locked. Writers of
// HEAD and branch files hold it from the first read they base the write on
// until the write is done.
#pragma once

#include "core/error.h"
#include "core/fs.h"
#include "core/repo.h"

namespace tesmo {

// How long a writer waits for another process to let the lock go.
inline constexpr int kLockWaitSeconds = 30;

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
  // another process holds it. Gives up after kLockWaitSeconds with "another
  // process holds the lock of " + path + ...; a pause that asks to stop
  // ends the wait with an interrupted error. A repository directory that
  // cannot be opened, for whatever reason (missing, unreadable, no
  // descriptor left), fails with "cannot lock the repository " + path +
  // ": " + the OS error text: a writer never goes on without the lock.
  static Result<RepoLock> acquire(const Repo& repo);

 private:
  explicit RepoLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace tesmo
