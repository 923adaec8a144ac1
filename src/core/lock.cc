// The repository lock.
#include "core/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

namespace tesmo {
namespace {

bool sleep_and_go_on(int milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  ::nanosleep(&pause, nullptr);  // a signal cutting it short just means an earlier try
  return true;
}

std::atomic<LockPause> g_pause{&sleep_and_go_on};

// Milliseconds on the monotonic clock.
long long now_ms() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void set_lock_pause(LockPause pause) { g_pause.store(pause ? pause : &sleep_and_go_on); }

Result<RepoLock> RepoLock::acquire(const Repo& repo) {
  UniqueFd fd(::open(repo.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    // Going on unlocked could drop a concurrent commit, so whatever keeps
    // the directory from being opened stops the writer before it writes.
    return Error("cannot lock the repository " + display_path(repo.root) + ": " +
                 Error::from_errno(errno).message());
  }
  // Short pauses first, as most holders are a commit finishing, then up to
  // a tenth of a second: a holder stuck for long is noticed within that.
  const long long deadline = now_ms() + kLockWaitSeconds * 1000LL;
  int pause = 1;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return RepoLock(std::move(fd));
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Error::from_errno(errno);
    const long long left = deadline - now_ms();
    if (left <= 0) {
      return Error("another process holds the lock of " + display_path(repo.root) + " and kept it for " +
                   std::to_string(kLockWaitSeconds) + " s; nothing was changed");
    }
    if (!g_pause.load()(static_cast<int>(std::min<long long>(pause, left)))) return Error::interrupted();
    pause = std::min(pause * 2, 100);
  }
}

}  // namespace tesmo
