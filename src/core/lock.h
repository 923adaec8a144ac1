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

class RepoLock {
 public:
  // Waits for the exclusive lock. When the repository directory is missing
  // or unreadable there is nothing to protect: the lock is empty and the
  // operation goes on to report the missing files with its own messages.
  // Running out of descriptors or memory fails with the OS error text: going
  // on unlocked could drop a concurrent commit once the shortage passes.
  static Result<RepoLock> acquire(const Repo& repo);

 private:
  explicit RepoLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace tesmo
