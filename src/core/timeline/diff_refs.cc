// The diff between the timelines of two commits of a repository.
#include "core/timeline/diff.h"
#include "core/store/object.h"
#include "core/store/repo.h"

namespace tesmo {

Result<std::vector<ChangeRecord>> diff_refs(const Repo& repo, std::string_view before_ref,
                                            std::string_view after_ref) {
  Result<std::string> before_id = resolve(repo, before_ref);
  if (!before_id) return before_id.error();
  Result<std::string> after_id = resolve(repo, after_ref);
  if (!after_id) return after_id.error();
  Result<Commit> before_commit = read_commit_id(repo, *before_id);
  if (!before_commit) return before_commit.error();
  Result<Commit> after_commit = read_commit_id(repo, *after_id);
  if (!after_commit) return after_commit.error();
  Result<JsonValue> before = read_object(objects_dir(repo), before_commit->timeline);
  if (!before) return before.error();
  Result<JsonValue> after = read_object(objects_dir(repo), after_commit->timeline);
  if (!after) return after.error();
  Result<TimelineModel> before_model = read_otio_timeline(std::move(before).value());
  if (!before_model) return before_model.error();
  Result<TimelineModel> after_model = read_otio_timeline(std::move(after).value());
  if (!after_model) return after_model.error();
  return diff_timelines(*before_model, *after_model);
}

}  // namespace tesmo
