// Ancestry across every parent: merge bases, ancestor tests, and moving a
// branch forward along its own history.
#include <algorithm>
#include <deque>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "core/store/lock.h"
#include "core/store/repo.h"

namespace tesmo {

namespace {

// Each commit read so far, with its parents.
using Graph = std::unordered_map<std::string, std::vector<std::string>>;

// Reads the history of `start` into `graph`, depth first, every parent of
// every commit; commits already in the graph (with all of their history)
// are not read again. A commit met again while its own parents are still
// being walked is a loop. With `stop_at`, the walk ends as soon as that
// commit is read, and `found` says whether it was.
Status load_history(const Repo& repo, const std::string& start, Graph& graph,
                    const std::string* stop_at = nullptr, bool* found = nullptr) {
  if (graph.count(start) != 0) {
    if (found != nullptr) *found = stop_at != nullptr && graph.count(*stop_at) != 0;
    return {};
  }
  struct Frame {
    const std::string* id;                    // the graph's key, which stays put
    const std::vector<std::string>* parents;  // the graph's value, likewise
    std::size_t next;
  };
  std::unordered_set<std::string> on_path;
  std::vector<Frame> stack;
  auto enter = [&](const std::string& id) -> Status {
    Result<Commit> record = read_commit_id(repo, id);
    if (!record) return record.error();
    auto [it, added] = graph.emplace(id, std::move(record->parents));
    (void)added;
    on_path.insert(id);
    stack.push_back(Frame{&it->first, &it->second, 0});
    return {};
  };
  if (Status s = enter(start); !s) return s;
  while (!stack.empty()) {
    if (stop_at != nullptr && graph.count(*stop_at) != 0) {
      if (found != nullptr) *found = true;
      return {};
    }
    Frame& top = stack.back();
    if (top.next == top.parents->size()) {
      on_path.erase(*top.id);
      stack.pop_back();
      continue;
    }
    const std::string parent = (*top.parents)[top.next++];
    if (on_path.count(parent) != 0) return Error("history loops back to commit " + parent);
    if (graph.count(parent) != 0) continue;
    if (Status s = enter(parent); !s) return s;
  }
  if (found != nullptr) *found = stop_at != nullptr && graph.count(*stop_at) != 0;
  return {};
}

// The length of the shortest walk from `start` to each commit of its history.
std::unordered_map<std::string, std::size_t> distances(const Graph& graph, const std::string& start) {
  std::unordered_map<std::string, std::size_t> out{{start, 0}};
  std::deque<std::string> queue{start};
  while (!queue.empty()) {
    const std::string id = std::move(queue.front());
    queue.pop_front();
    const std::size_t next = out.at(id) + 1;
    for (const std::string& parent : graph.at(id)) {
      if (out.emplace(parent, next).second) queue.push_back(parent);
    }
  }
  return out;
}

}  // namespace

Result<std::vector<std::string>> merge_bases(const Repo& repo, std::string_view a,
                                             std::string_view b) {
  Result<std::string> first = resolve(repo, a);
  if (!first) return first.error();
  Result<std::string> second = resolve(repo, b);
  if (!second) return second.error();
  Graph graph;
  if (Status s = load_history(repo, *first, graph); !s) return s.error();
  if (Status s = load_history(repo, *second, graph); !s) return s.error();

  const auto from_first = distances(graph, *first);
  const auto from_second = distances(graph, *second);
  std::vector<std::string> common;
  for (const auto& [id, steps] : from_first) {
    (void)steps;
    if (from_second.count(id) != 0) common.push_back(id);
  }
  // A common ancestor of another common ancestor is never the best one:
  // everything reachable from the parents of common ancestors drops out.
  std::unordered_set<std::string> below;
  std::deque<std::string> queue;
  for (const std::string& id : common) {
    for (const std::string& parent : graph.at(id)) {
      if (below.insert(parent).second) queue.push_back(parent);
    }
  }
  while (!queue.empty()) {
    const std::string id = std::move(queue.front());
    queue.pop_front();
    for (const std::string& parent : graph.at(id)) {
      if (below.insert(parent).second) queue.push_back(parent);
    }
  }
  std::vector<std::string> best;
  for (std::string& id : common) {
    if (below.count(id) == 0) best.push_back(std::move(id));
  }
  const auto key = [&](const std::string& id) {
    const std::size_t x = from_first.at(id), y = from_second.at(id);
    return std::make_tuple(std::max(x, y), x + y, std::cref(id));
  };
  std::sort(best.begin(), best.end(),
            [&](const std::string& l, const std::string& r) { return key(l) < key(r); });
  return best;
}

Result<std::optional<std::string>> merge_base(const Repo& repo, std::string_view a,
                                              std::string_view b) {
  Result<std::vector<std::string>> bases = merge_bases(repo, a, b);
  if (!bases) return bases.error();
  if (bases->empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(bases->front()));
}

Result<bool> is_ancestor(const Repo& repo, std::string_view ancestor, std::string_view descendant) {
  Result<std::string> older = resolve(repo, ancestor);
  if (!older) return older.error();
  Result<std::string> newer = resolve(repo, descendant);
  if (!newer) return newer.error();
  Graph graph;
  bool found = false;
  if (Status s = load_history(repo, *newer, graph, &*older, &found); !s) return s.error();
  return found;
}

Status fast_forward(const Repo& repo, std::string_view branch, const std::string& old_id,
                    const std::string& new_id) {
  if (Status s = check_branch_name(branch); !s) return s;
  Result<RepoLock> lock = RepoLock::acquire(repo);
  if (!lock) return lock.error();
  Result<std::optional<std::string>> current = read_branch(repo, branch);
  if (!current) return current.error();
  const std::string name(branch);
  if (!*current) return Error("branch " + name + " does not exist");
  if (**current != old_id) {
    return Error("branch " + name + " moved to " + **current + " (expected " + old_id +
                 "); nothing was changed");
  }
  Result<bool> forward = is_ancestor(repo, old_id, new_id);
  if (!forward) return forward.error();
  if (!*forward) {
    return Error("cannot fast-forward " + name + ": " + old_id + " is not an ancestor of " + new_id);
  }
  return write_branch(repo, branch, new_id);
}

}  // namespace tesmo
