// The repository lock.
#include "core/lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace tesmo {

Result<RepoLock> RepoLock::acquire(const Repo& repo) {
  UniqueFd fd(::open(repo.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    if (err == EMFILE || err == ENFILE || err == ENOMEM) return Error::from_errno(err);
    return RepoLock(UniqueFd());
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Error::from_errno(errno);
  }
  return RepoLock(std::move(fd));
}

}  // namespace tesmo
