// Verification of objects from elsewhere; see verify.h.
#include "core/store/verify.h"

#include <string>
#include <unordered_set>

#include "core/store/object.h"
#include "core/value/json.h"
#include "core/value/json_parser.h"
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

// A reader that builds nothing: it writes the canonical text of what it
// reads, piece by piece, and compares each piece with the input at the same
// place. The input is canonical when every piece matched, every object's
// keys rose strictly (canonical text sorts them, and a repeated key would
// leave one), and the pieces reached the end of the input. Memory stays
// that of the open containers whatever the input holds, where a tree of a
// hostile text (a long array of zeros) would take twenty times its size.
class CanonicalCheck {
 public:
  struct Value {};
  struct Container {};

  explicit CanonicalCheck(std::string_view text) : text_(text) {}

  bool matched_all() const { return ok_ && at_ == text_.size(); }

  Value null() { return scalar("null"); }
  Value boolean(bool b) { return scalar(b ? "true" : "false"); }
  Result<Value> number(const JsonNumber& n) {
    piece_.clear();
    append_canonical_number(piece_, n);
    return scalar(piece_);
  }
  Result<Value> string(std::string_view s) {
    piece_.clear();
    append_canonical_string(piece_, s);
    return scalar(piece_);
  }
  Container open(bool is_object) {
    before_value();
    emit(is_object ? "{" : "[");
    open_.push_back({is_object, false, {}});
    return {};
  }
  Status key(Container&, std::string_view k) {
    Open& top = open_.back();
    if (top.has_member && !(std::string_view(top.last_key) < k)) ok_ = false;
    if (top.has_member) emit(",");
    top.has_member = true;
    top.last_key.assign(k);
    piece_.clear();
    append_canonical_string(piece_, k);
    piece_ += ':';
    emit(piece_);
    return ok_ ? Status() : Status(not_canonical());
  }
  void add(Container&, Value&&) {}
  void push(Container&, Value&&) {}
  Result<Value> close(Container&&) {
    emit(open_.back().is_object ? "}" : "]");
    open_.pop_back();
    if (!ok_) return not_canonical();
    return Value{};
  }

 private:
  struct Open {
    bool is_object;
    bool has_member;  // an object: a key came; an array: an element came
    std::string last_key;
  };

  static Error not_canonical() { return Error("not canonical"); }

  // Arrays separate their elements; an object's key already did.
  void before_value() {
    if (open_.empty() || open_.back().is_object) return;
    if (open_.back().has_member) emit(",");
    open_.back().has_member = true;
  }
  Value scalar(std::string_view text) {
    before_value();
    emit(text);
    return {};
  }
  void emit(std::string_view piece) {
    if (!ok_) return;
    if (text_.substr(at_, piece.size()) != piece) {
      ok_ = false;
      return;
    }
    at_ += piece.size();
  }

  std::string_view text_;
  std::size_t at_ = 0;
  bool ok_ = true;
  std::string piece_;
  std::vector<Open> open_;
};

}  // namespace

bool is_canonical_json(std::string_view text) {
  CanonicalCheck check(text);
  Result<CanonicalCheck::Value> read = json_parser::parse(text, check);
  return read && check.matched_all();
}

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
  if (!is_canonical_json(text)) {
    // Parsed again only to say where a text that is not JSON at all fails.
    if (Result<JsonValue> value = parse_json(text); !value) {
      return value.error().with_context(named + " is not canonical JSON");
    }
    return Error(named + " is not canonical JSON");
  }
  return {};
}

Result<Commit> verify_commit_text(std::string_view text, std::string_view id) {
  // A record is small: bounded before anything is parsed into a tree.
  if (text.size() > kMaxRecordText) {
    return Error("commit " + std::string(id) + " has a record of " + std::to_string(text.size()) +
                 " bytes, more than the " + std::to_string(kMaxRecordText) + " a record may hold");
  }
  if (Status s = verify_object_text(text, id); !s) return s.error();
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
