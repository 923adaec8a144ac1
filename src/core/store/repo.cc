// Creating and finding repositories.
#include "core/store/repo.h"

#include "core/store/fs.h"

namespace tesmo {

namespace {
constexpr const char kRepoDirName[] = ".tesmo";
constexpr const char kInitialHead[] = "ref: refs/heads/main\n";
}  // namespace

std::string head_path(const Repo& repo) { return join_path(repo.root, "HEAD"); }
std::string heads_dir(const Repo& repo) { return join_path(repo.root, "refs/heads"); }
std::string objects_dir(const Repo& repo) { return join_path(repo.root, "objects"); }

Result<Repo> init(const std::string& workdir) {
  Repo repo{join_path(workdir, kRepoDirName)};
  if (path_exists(repo.root)) {
    return Error("tesmo repository already exists at " + display_path(repo.root));
  }
  if (Status s = make_dirs(objects_dir(repo)); !s) return s.error();
  if (Status s = make_dirs(heads_dir(repo)); !s) return s.error();
  // Written through a rename so that a crash never leaves a cut HEAD behind.
  if (Status s = write_file_atomic(head_path(repo), kInitialHead); !s) return s.error();
  return repo;
}

Result<Repo> discover(const std::string& start) {
  std::string search;
  if (!start.empty() && start.front() == '/') {
    search = start;
  } else {
    Result<std::string> cwd = current_dir();
    if (!cwd) return cwd.error();
    search = join_path(*cwd, start);
  }
  for (;;) {
    std::string candidate = join_path(search, kRepoDirName);
    if (is_directory(candidate)) return Repo{std::move(candidate)};
    search = parent_path(search);
    if (search.empty()) {
      return Error("not in a tesmo repository (run `tesmo init` first)");
    }
  }
}

Result<Repo> discover() {
  Result<std::string> cwd = current_dir();
  if (!cwd) return cwd.error();
  return discover(*cwd);
}

Result<Repo> open(const std::string& workdir) { return discover(workdir); }

}  // namespace tesmo
