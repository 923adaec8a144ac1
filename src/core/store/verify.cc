// Verification of objects from elsewhere; see verify.h.
#include "core/store/verify.h"

#include <string>
#include <unordered_set>

#include "core/store/object.h"
#include "core/value/json.h"
#include "core/value/quote.h"

namespace tesmo {
namespace {

constexpr std::string_view kPrefix = "sha256:";

bool digits_in_range(std::string_view text, std::size_t at, int low, int high) {
  const char a = text[at], b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  const int value = (a - '0') * 10 + (b - '0');
  return value >= low && value <= high;
}

}  // namespace

bool is_full_id(std::string_view id) {
  if (id.size() != kPrefix.size() + 64 || id.substr(0, kPrefix.size()) != kPrefix) return false;
  for (const char c : id.substr(kPrefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool is_stored_timestamp(std::string_view text) {
  // 2026-12-07T03:18:24Z
  if (text.size() != 20) return false;
  for (const std::size_t i : {0, 1, 2, 3}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return text[4] == '-' && digits_in_range(text, 5, 1, 12) && text[7] == '-' &&
         digits_in_range(text, 8, 1, 31) && text[10] == 'T' && digits_in_range(text, 11, 0, 23) &&
         text[13] == ':' && digits_in_range(text, 14, 0, 59) && text[16] == ':' &&
         digits_in_range(text, 17, 0, 60) && text[19] == 'Z';
}

Status verify_object_text(std::string_view text, std::string_view id) {
  const std::string named = "object " + std::string(id);
  if (!is_full_id(id)) return Error(named + " is not a full object id");
  // The hash first: it is cheap, and a text that does not hash to its id
  // is refused whatever it holds.
  const std::string actual = hash_text(text);
  if (actual != id) return Error(named + " holds text whose id is " + actual);
  Result<JsonValue> value = parse_json(text);
  if (!value) return value.error().with_context(named + " is not canonical JSON");
  if (canonical_json(*value) != text) return Error(named + " is not canonical JSON");
  return {};
}

Result<Commit> verify_commit_text(std::string_view text, std::string_view id) {
  if (Status s = verify_object_text(text, id); !s) return s.error();
  // Parsed again: verify_object_text keeps no value, and a record is small.
  Result<JsonValue> value = parse_json(text);
  if (!value) return value.error();
  Result<Commit> commit = commit_from_json(*value);
  if (!commit) return commit.error().with_context("object " + std::string(id) + " is not a commit record");
  const std::string named = "commit " + std::string(id);
  // The reader also takes the array form and ignores members of other
  // names; a record from elsewhere must be the object this code writes.
  if (canonical_json(commit_to_json(*commit)) != text) {
    return Error(named + " is not a record as tesmo writes one (other members, or another form)");
  }
  if (commit->schema != COMMIT_SCHEMA) {
    return Error(named + " has unsupported schema " + debug_quote(commit->schema) + " (expected " +
                 std::string(COMMIT_SCHEMA) + ")");
  }
  if (!is_full_id(commit->timeline)) {
    return Error(named + " has a timeline id that is not a full object id: " + debug_quote(commit->timeline));
  }
  std::unordered_set<std::string> seen;
  for (const std::string& parent : commit->parents) {
    if (!is_full_id(parent)) {
      return Error(named + " has a parent id that is not a full object id: " + debug_quote(parent));
    }
    if (!seen.insert(parent).second) return Error(named + " has the parent " + parent + " twice");
  }
  if (!is_stored_timestamp(commit->timestamp)) {
    return Error(named + " has a timestamp that is not of the form YYYY-MM-DDTHH:MM:SSZ: " +
                 debug_quote(commit->timestamp));
  }
  return commit;
}

}  // namespace tesmo
