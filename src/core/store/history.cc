// Committing on the current branch, reading commits and timelines back, and
// walking history.
#include <time.h>

#include <cerrno>
#include <ctime>
#include <unordered_set>

#include "core/store/fs.h"
#include "core/store/lock.h"
#include "core/store/object.h"
#include "core/value/quote.h"
#include "core/store/repo.h"

namespace tesmo {

namespace {

// The current UTC time as "%Y-%m-%dT%H:%M:%SZ", the fraction dropped.
Result<std::string> utc_timestamp() {
  struct timespec now;
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return Error::from_errno(errno);
  struct tm parts;
  if (::gmtime_r(&now.tv_sec, &parts) == nullptr) return Error::from_errno(errno);
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (n == 0 || parts.tm_year + 1900 < 0 || parts.tm_year + 1900 > 9999) {
    return Error("the system clock gives a time that cannot be written as a timestamp");
  }
  return std::string(text, n);
}

}  // namespace

namespace {

// Checks the parents a merge names besides the branch's commit: readable
// commits, none named twice.
Status check_extra_parents(const Repo& repo, const std::string& first,
                           const std::vector<std::string>& extra_parents) {
  std::unordered_set<std::string> named{first};
  for (const std::string& parent : extra_parents) {
    if (!named.insert(parent).second) {
      return Error("commit " + parent + " is named twice as a parent");
    }
    if (Result<Commit> record = read_commit_id(repo, parent); !record) return record.error();
  }
  return {};
}

// The commit of `timeline_id` on the current branch, with the branch's
// commit and then `extra_parents` as its parents. With `expected`, the
// branch must still be at that commit once the lock is held.
Result<std::string> commit_on_branch(const Repo& repo, const std::string& timeline_id,
                                     Author author, std::string message,
                                     const std::vector<std::string>& extra_parents,
                                     const std::string* expected) {
  // From reading the branch to moving it, no other writer may move it, or
  // one of two concurrent commits would drop out of history.
  Result<RepoLock> lock = RepoLock::acquire(repo);
  if (!lock) return lock.error();

  Result<HeadState> head = read_head(repo);
  if (!head) return head.error();
  const auto* on_branch = std::get_if<OnBranch>(&*head);
  if (on_branch == nullptr) {
    return Error(expected != nullptr ? "cannot commit a merge while HEAD is detached"
                                     : "cannot commit while HEAD is detached");
  }
  Result<std::optional<std::string>> parent = read_branch(repo, on_branch->name);
  if (!parent) return parent.error();
  if (!extra_parents.empty() || expected != nullptr) {
    if (!*parent) {
      return Error("branch " + on_branch->name + " has no commits yet: nothing to merge into");
    }
    if (expected != nullptr && **parent != *expected) {
      return Error("branch " + on_branch->name + " moved to " + **parent +
                   " while the merge was made (it was at " + *expected + "); nothing was changed");
    }
    if (Status s = check_extra_parents(repo, **parent, extra_parents); !s) return s.error();
  }

  Result<std::string> timestamp = utc_timestamp();
  if (!timestamp) return timestamp.error();

  Commit record;
  record.schema = std::string(COMMIT_SCHEMA);
  record.timeline = timeline_id;
  if (*parent) record.parents.push_back(std::move(**parent));
  record.parents.insert(record.parents.end(), extra_parents.begin(), extra_parents.end());
  record.author = std::move(author);
  record.timestamp = std::move(*timestamp);
  record.message = std::move(message);
  Result<std::string> id = write_object(objects_dir(repo), commit_to_json(record));
  if (!id) return id.error();

  head = read_head(repo);
  if (!head) return head.error();
  if (const auto* now_on = std::get_if<OnBranch>(&*head)) {
    if (Status s = write_branch(repo, now_on->name, *id); !s) return s.error();
  }
  return id;
}

}  // namespace

Result<std::string> commit(const Repo& repo, const std::string& timeline_id, Author author,
                           std::string message, const std::vector<std::string>& extra_parents) {
  return commit_on_branch(repo, timeline_id, std::move(author), std::move(message), extra_parents,
                          nullptr);
}

Result<std::string> commit_merge(const Repo& repo, const std::string& timeline_id, Author author,
                                 std::string message, const std::vector<std::string>& parents) {
  if (parents.size() < 2) return Error("a merge commit needs at least two parents");
  const std::vector<std::string> extra(parents.begin() + 1, parents.end());
  return commit_on_branch(repo, timeline_id, std::move(author), std::move(message), extra,
                          &parents.front());
}

Result<std::string> commit_timeline(const Repo& repo, std::string_view timeline_text,
                                    std::optional<std::string> author_name,
                                    std::optional<std::string> author_email, std::string message) {
  Result<std::string> timeline_id = write_object_text(objects_dir(repo), timeline_text);
  if (!timeline_id) return timeline_id.error();
  Author author{author_name ? std::move(*author_name) : std::string(kDefaultAuthorName),
                author_email ? std::move(*author_email) : std::string(kDefaultAuthorEmail)};
  return commit(repo, *timeline_id, std::move(author), std::move(message));
}

Result<Commit> read_commit_id(const Repo& repo, const std::string& id) {
  Result<JsonValue> value = read_object(objects_dir(repo), id);
  if (!value) return value.error();
  Result<Commit> record = commit_from_json(*value);
  if (!record) return record.error().with_context("parsing commit " + id);
  if (record->schema != COMMIT_SCHEMA) {
    return Error("commit " + id + " has unsupported schema " + debug_quote(record->schema) +
                 " (expected " + std::string(COMMIT_SCHEMA) + ")");
  }
  return record;
}

Result<Commit> read_commit(const Repo& repo, std::string_view ref) {
  Result<std::string> id = resolve(repo, ref);
  if (!id) return id.error();
  return read_commit_id(repo, *id);
}

Result<TimelineText> read_timeline_text(const Repo& repo, std::string_view ref) {
  Result<Commit> record = read_commit(repo, ref);
  if (!record) return record.error();
  Result<TextBuffer> text = read_object_text(objects_dir(repo), record->timeline);
  if (!text) return text.error();
  return TimelineText{std::move(record->timeline), std::move(text).value()};
}

Result<std::vector<LogEntry>> log(const Repo& repo, std::optional<std::string_view> start) {
  std::string id;
  if (start) {
    Result<std::string> resolved = resolve(repo, *start);
    if (!resolved) return resolved.error();
    id = std::move(*resolved);
  } else {
    Result<std::string> head = head_commit(repo);
    if (!head) return std::vector<LogEntry>();
    id = std::move(*head);
  }

  std::vector<LogEntry> entries;
  // Ids name their content, so history cannot loop unless object files were
  // replaced by hand; stop such a loop instead of walking it forever.
  std::unordered_set<std::string> seen;
  for (;;) {
    if (!seen.insert(id).second) {
      return Error("history loops back to commit " + id);
    }
    Result<Commit> record = read_commit_id(repo, id);
    if (!record) return record.error();
    const bool root = record->parents.empty();
    std::string next = root ? std::string() : record->parents.front();
    entries.push_back(LogEntry{std::move(id), std::move(*record)});
    if (root) break;
    id = std::move(next);
  }
  return entries;
}

}  // namespace tesmo
