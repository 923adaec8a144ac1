// The repository: a `.tesmo` directory holding HEAD, refs/heads/ and
// objects/. A Repo handle is just the path of that directory, exactly as it
// was formed; it holds no open files or caches, so every operation re-reads
// what it needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/store/commit_record.h"
#include "core/value/error.h"
#include "core/value/json.h"

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

// ---------------------------------------------------------------------------
// HEAD and branches. HEAD and branch files are written through a temporary
// file and a rename, so a reader sees the old contents or the new, never a
// part. Every operation that writes a branch file or HEAD holds an advisory
// lock on the repository directory while it reads and writes, so concurrent
// writers in other processes take turns.

struct OnBranch {
  std::string name;
};
struct Detached {
  std::string id;
};
using HeadState = std::variant<OnBranch, Detached>;

// root/refs/heads/<name>, the name joined as a relative path.
std::string branch_path(const Repo& repo, std::string_view name);

// Writes a branch file: the id and a line feed, through a rename. The
// directories from the repository down to the file are created where
// missing and must be directories of their own, never symbolic links, so
// the file lands inside the repository. The name must obey the rules.
// Failures carry the OS error text or the message of dirs_below (fs.h).
Status write_branch(const Repo& repo, std::string_view name, std::string_view id);

// Removes leading and trailing Unicode White_Space from UTF-8 text.
std::string_view trim_white_space(std::string_view text);

// The branch-name rules: "branch name is empty", or "invalid branch name: "
// + name for a leading "." or "/", a trailing "/", "..", "//", or any
// character other than ASCII letters, digits and "-", ".", "/", "_".
Status check_branch_name(std::string_view name);

// Parsed HEAD. Failures: "reading " + HEAD path (missing, unreadable, not
// UTF-8), "HEAD has unexpected contents: " + the trimmed text debug-quoted.
Result<HeadState> read_head(const Repo& repo);

// The branch's commit id, or nothing when its file does not exist.
// Failures: "reading " + branch path, "branch " + name + " has invalid
// contents: " + the trimmed text debug-quoted.
Result<std::optional<std::string>> read_branch(const Repo& repo, std::string_view name);

// The id HEAD designates. An unborn current branch fails with
// "HEAD points at " + name + " but branch has no commits yet".
Result<std::string> head_commit(const Repo& repo);

// The current branch name, or nothing when HEAD is detached.
Result<std::optional<std::string>> current_branch(const Repo& repo);

// Creates a branch at the commit `at` resolves to, and returns that id.
// Failures: the name rules, "branch " + name + " already exists", the
// resolution errors, OS error text for the writes.
Result<std::string> create_branch(const Repo& repo, std::string_view name,
                                  std::string_view at = "HEAD");

// Removes a branch file. Failures: the name rules, the read_head errors,
// "cannot delete the current branch (" + name + "); switch first",
// "branch " + name + " does not exist", "removing " + path.
Status delete_branch(const Repo& repo, std::string_view name);

// (name, id) of every branch directly in refs/heads, by name in byte order.
// Names containing "/" live in subdirectories and are not listed.
Result<std::vector<std::pair<std::string, std::string>>> list_branches(const Repo& repo);

// Points HEAD at an existing branch. Failures: the name rules, "branch " +
// name + " does not exist", OS error text for the write.
Status switch_branch(const Repo& repo, std::string_view name);

// ---------------------------------------------------------------------------
// Ref resolution: "HEAD", a branch name, a full id of an existing object, or
// four or more leading hex digits of one (a short id). One stat for a full
// id, one listing of one fan-out directory for a short id.
Result<std::string> resolve(const Repo& repo, std::string_view ref);

// ---------------------------------------------------------------------------
// Commits and history.

// The author recorded when the caller names none.
inline constexpr std::string_view kDefaultAuthorName = "agent";
inline constexpr std::string_view kDefaultAuthorEmail = "agent@localhost";

// A whole commit: stores the timeline, given as its canonical text, then
// records a commit of it on the current branch and returns the commit's id.
// A missing author name or e-mail takes its default. The message and the
// author's fields must be UTF-8: the record is stored as given, and one
// that is not would not read back. The timeline is stored
// before HEAD is looked at, so a refused commit leaves only an unreferenced
// object behind. Failures: the object store messages, then those of commit.
Result<std::string> commit_timeline(const Repo& repo, std::string_view timeline_text,
                                    std::optional<std::string> author_name,
                                    std::optional<std::string> author_email, std::string message);

// Records a commit of the stored timeline `timeline_id` on the current branch
// and returns its id. Its parents are the branch's commit (none on an
// unborn branch), then `extra_parents` in order: a merge commit. Failures:
// "cannot commit while HEAD is detached", the HEAD and branch messages, the
// repository lock's, the object store messages, OS error text for the
// branch write; with extra parents, those of commit_merge.
Result<std::string> commit(const Repo& repo, const std::string& timeline_id, Author author,
                           std::string message, const std::vector<std::string>& extra_parents = {});

// Records a merge commit of the stored timeline `timeline_id` whose parents
// are exactly `parents`: the first must be the current branch's commit when
// the repository lock is taken (the merge was worked out against it), the
// others commits of the store. Failures: "a merge commit needs at least two
// parents", "commit " + id + " is named twice as a parent", "cannot commit
// a merge while HEAD is detached", "branch " + name + " has no commits yet:
// nothing to merge into", "branch " + name + " moved to " + id + " while the
// merge was made (it was at " + id + "); nothing was changed", the messages
// of read_commit_id for a parent that is not a readable commit, then those
// of commit.
Result<std::string> commit_merge(const Repo& repo, const std::string& timeline_id, Author author,
                                 std::string message, const std::vector<std::string>& parents);

// The commit a ref resolves to. Failures: resolution errors, the object
// store errors, "parsing commit " + id, "commit " + id + " has unsupported
// schema " + quoted schema + " (expected " + "tesmo.commit.1" + ")".
Result<Commit> read_commit(const Repo& repo, std::string_view ref);

// The commit stored under `id`, with the checks of read_commit.
Result<Commit> read_commit_id(const Repo& repo, const std::string& id);

// The stored text of the timeline of the commit a ref resolves to, not
// parsed, with the timeline's id (the context of a parse error: "parsing
// object " + id).
struct TimelineText {
  std::string id;
  TextBuffer text;
};
Result<TimelineText> read_timeline_text(const Repo& repo, std::string_view ref);

struct LogEntry {
  std::string id;
  Commit commit;
};

// The history from `start` (or from HEAD when absent) following first
// parents, newest first. Without a start, a HEAD that gives no commit yields
// an empty list. Any unreadable commit on the way fails the whole walk.
Result<std::vector<LogEntry>> log(const Repo& repo, std::optional<std::string_view> start);

// ---------------------------------------------------------------------------
// Ancestry, across every parent of a commit (not only the first). Ids name
// their content, so history cannot loop unless object files were replaced
// by hand; every walk keeps the commits it has seen and fails with "history
// loops back to commit " + id instead of going round forever.

// The best common ancestors of the commits two refs resolve to: common
// ancestors (a commit counts as its own) that are not ancestors of another
// common ancestor. Usually one; two or more after criss-cross merges; none
// for unrelated histories. Ordered nearest first: by the longer of the two
// shortest walks to it, then the sum of both, then id. Failures: the
// resolution errors, those of read_commit_id for any commit on the way, the
// loop message.
Result<std::vector<std::string>> merge_bases(const Repo& repo, std::string_view a,
                                             std::string_view b);

// The first of merge_bases, or nothing when the histories are unrelated.
Result<std::optional<std::string>> merge_base(const Repo& repo, std::string_view a,
                                              std::string_view b);

// Whether the commit `ancestor` resolves to is in the history of the one
// `descendant` resolves to, itself included. The same failures.
Result<bool> is_ancestor(const Repo& repo, std::string_view ancestor, std::string_view descendant);

// Moves the branch from `old_id` to `new_id`, a commit whose history holds
// `old_id`, under the repository lock. Failures: the name rules, "branch " +
// name + " does not exist", "branch " + name + " moved to " + id + " (expected
// " + old_id + "); nothing was changed", "cannot fast-forward " + name + ": "
// + old_id + " is not an ancestor of " + new_id, the ancestry failures, OS
// error text for the write.
Status fast_forward(const Repo& repo, std::string_view branch, const std::string& old_id,
                    const std::string& new_id);

}  // namespace tesmo
