// The repository lock.
#include "core/store/lock.h"

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
std::atomic<long long> g_limit_ms{kLockWaitLimit.count()};

// Milliseconds on the monotonic clock.
long long now_ms() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void set_lock_pause(LockPause pause) { g_pause.store(pause ? pause : &sleep_and_go_on); }

void set_lock_wait_limit(std::chrono::milliseconds limit) {
  g_limit_ms.store(std::max<long long>(limit.count(), 0));
}

std::string describe_lock_wait(std::chrono::milliseconds limit) {
  const long long ms = std::max<long long>(limit.count(), 0);
  if (ms < 1000) return std::to_string(ms) + " ms";
  std::string text = std::to_string(ms / 1000);
  if (const long long rest = ms % 1000; rest != 0) {
    // Three decimals, without the zeros at the end: 1500 ms is "1.5 s".
    std::string decimals = std::to_string(1000 + rest).substr(1);
    while (decimals.back() == '0') decimals.pop_back();
    text += "." + decimals;
  }
  return text + " s";
}

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
  const long long limit_ms = g_limit_ms.load();
  const long long deadline = now_ms() + limit_ms;
  int pause = 1;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return RepoLock(std::move(fd));
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Error::from_errno(errno);
    const long long left = deadline - now_ms();
    if (left <= 0) {
      return Error("another process holds the lock of " + display_path(repo.root) + " and kept it for " +
                   describe_lock_wait(std::chrono::milliseconds(limit_ms)) + "; nothing was changed");
    }
    if (!g_pause.load()(static_cast<int>(std::min<long long>(pause, left)))) return Error::interrupted();
    pause = std::min(pause * 2, 100);
  }
}

}  // namespace tesmo
