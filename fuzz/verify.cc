// The verifiers of objects from other repositories on arbitrary text: the
// streaming canonical check must agree with a parse and a write. The id
// is the text's own hash, so every run gets past the digest to the parse and
// the record checks. What passes must be exactly what this code writes: the
// canonical text of its value, and for a record, the canonical text of the
// record it decodes to, with full ids and a stored timestamp.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/store/commit_record.h"
#include "core/store/object.h"
#include "core/store/verify.h"
#include "core/value/json.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string id = tesmo::hash_text(text);

  // The streaming check says exactly what parsing and writing again says.
  tesmo::Result<tesmo::JsonValue> parsed = tesmo::parse_json(text);
  const bool canonical = parsed && tesmo::canonical_json(*parsed) == text;
  if (tesmo::is_canonical_json(text) != canonical) fail("streaming check disagrees", text);

  const tesmo::Status object = tesmo::verify_object_text(text, id);
  if (object) {
    tesmo::Result<tesmo::JsonValue> value = tesmo::parse_json(text);
    if (!value || tesmo::canonical_json(*value) != text) fail("passed but not canonical", text);
  }
  // Another id never passes, whatever the text.
  std::string other = id;
  other.back() = other.back() == '0' ? '1' : '0';
  if (tesmo::verify_object_text(text, other)) fail("passed under another id", text);

  tesmo::Result<tesmo::Commit> commit = tesmo::verify_commit_text(text, id);
  if (commit) {
    if (!object) fail("a record passed that is not a verified object", text);
    if (tesmo::canonical_json(tesmo::commit_to_json(*commit)) != text) fail("record not as written", text);
    if (commit->schema != tesmo::COMMIT_SCHEMA || !tesmo::is_full_id(commit->timeline) ||
        !tesmo::is_stored_timestamp(commit->timestamp)) {
      fail("record fields not checked", text);
    }
    for (const std::string& parent : commit->parents) {
      if (!tesmo::is_full_id(parent)) fail("parent not checked", parent);
    }
  }
  return 0;
}
