// The repository: a `.tesmo` directory holding HEAD, refs/heads/ and
// objects/. A Repo handle is just the path of that directory, exactly as it
// was formed; it holds no open files or caches, so every operation re-reads
// what it needs.
#pragma once

#include <string>

#include "error.h"

namespace tesmo {

struct Repo {
  std::string root;  // path of the .tesmo directory (bytes, not normalised)
};

// Paths inside a repository.
std::string head_path(const Repo& repo);
std::string heads_dir(const Repo& repo);
std::string objects_dir(const Repo& repo);

// Creates `workdir`/.tesmo with objects/, refs/heads/ and a HEAD naming
// "main". Fails with "tesmo repository already exists at " + the .tesmo
// path when anything is there (a dangling symlink counts as absent); other
// failures carry the OS error text alone. Nothing is rolled back.
Result<Repo> init(const std::string& workdir);

// Walks up from `start` (joined to the current directory when relative) to
// the first ancestor holding a `.tesmo` directory, removing components
// textually. Fails with "not in a tesmo repository (run `tesmo init` first)"
// at the top, or with the OS error text when the current directory is
// needed but unavailable.
Result<Repo> discover(const std::string& start);

// discover() from the current directory.
Result<Repo> discover();

// The same search as discover(), starting at `workdir`.
Result<Repo> open(const std::string& workdir);

}  // namespace tesmo
