// Turning ref strings into object ids: HEAD, then a branch, then a full id,
// then a short id found by listing one fan-out directory.
#include "core/store/fs.h"
#include "core/store/object.h"
#include "core/store/repo.h"
#include "core/value/utf8.h"

namespace tesmo {

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

Result<std::string> resolve_short_id(const Repo& repo, std::string_view ref) {
  const std::string fan_out = join_path(objects_dir(repo), ref.substr(0, 2));
  const auto not_found = [&] { return Error("could not resolve short hash " + std::string(ref)); };
  Result<std::vector<DirEntry>> entries = list_directory(fan_out);
  if (!entries) {
    if (names_nothing(entries.error(), fan_out)) return not_found();
    return entries.error();
  }

  // Every entry counts, whatever its type.
  const std::string_view rest = ref.substr(2);
  std::string match;
  std::size_t matches = 0;
  for (const DirEntry& entry : *entries) {
    if (std::string_view(entry.name).substr(0, rest.size()) != rest) continue;
    if (++matches == 1) match = "sha256:" + std::string(ref.substr(0, 2)) + utf8_lossy(entry.name);
  }
  if (matches == 0) return not_found();
  if (matches > 1) {
    return Error("short hash " + std::string(ref) + " is ambiguous (" + std::to_string(matches) +
                 " matches)");
  }
  return match;
}

}  // namespace

Result<std::string> resolve(const Repo& repo, std::string_view ref) {
  if (ref == "HEAD") return head_commit(repo);

  Result<std::optional<std::string>> branch = read_branch(repo, ref);
  if (!branch) return branch.error();
  if (*branch) return std::move(**branch);

  if (ref.size() >= 7 && ref.substr(0, 7) == "sha256:") {
    Result<std::string> path = object_path(objects_dir(repo), ref);
    if (!path) return path.error();
    if (object_exists(*path)) return std::string(ref);
    return Error("ref " + std::string(ref) + " resolves to nonexistent object");
  }

  bool all_hex = ref.size() > 3;
  for (const char c : ref) all_hex = all_hex && is_hex_digit(c);
  if (!all_hex) return Error("could not resolve ref: " + std::string(ref));
  return resolve_short_id(repo, ref);
}

}  // namespace tesmo
