// The repository lock: an advisory flock(2) on the .tesmo directory itself.
// No lock file is created, and the kernel drops the lock when its holder
// dies, so a killed process never leaves a repository locked. Writers of
// HEAD and branch files hold it from the first read they base the write on
// until the write is done.
#pragma once

#include "error.h"
#include "fs.h"
#include "repo.h"

namespace tesmo {

class RepoLock {
 public:
  // Waits for the exclusive lock. When the repository directory cannot be
  // opened there is nothing to protect: the lock is empty and the operation
  // goes on to report the missing files with its own messages.
  static Result<RepoLock> acquire(const Repo& repo);

 private:
  explicit RepoLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // closing it releases the lock
};

}  // namespace tesmo
