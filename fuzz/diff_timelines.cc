// read_otio_timeline and diff_timelines on pairs of JSON documents. The input
// is split at its first NUL byte, which no JSON text holds outside a string
// escape: before it the before document, after it the after document. An
// input without a NUL is compared with itself. Every record's payload is
// built and written canonically, and must read back as the same value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/timeline/diff.h"
#include "core/value/json.h"
#include "core/timeline/otio.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

bool is_reader_message(const std::string& m) {
  return m == "expected an object at the OTIO root" || m.starts_with("expected Timeline root, got ") ||
         m == "Timeline has no `tracks`" || m == "expected the top stack to be an object" ||
         m == "stack has no `children` array";
}

// The model of one document, read both from a shared and from a given-up
// value, which must agree.
std::optional<tesmo::TimelineModel> read(std::string_view text) {
  tesmo::Result<tesmo::JsonValue> value = tesmo::parse_json(text);
  if (!value) return std::nullopt;
  tesmo::Result<tesmo::TimelineModel> model = tesmo::read_otio_timeline(*value);
  tesmo::Result<tesmo::TimelineModel> moved = tesmo::read_otio_timeline(std::move(*value));
  if (!model) {
    if (!is_reader_message(model.error().message())) fail("unexpected message", model.error().message());
    if (moved || moved.error().message() != model.error().message()) fail("moving reader disagrees", text);
    return std::nullopt;
  }
  if (!moved || !(*moved == *model)) fail("moving reader gives another model", text);
  return std::move(*model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view before_text = input.substr(0, split);
  const std::string_view after_text = split == std::string_view::npos ? input : input.substr(split + 1);

  const std::optional<tesmo::TimelineModel> before = read(before_text);
  if (!before) return 0;
  const std::optional<tesmo::TimelineModel> after = read(after_text);
  if (!after) return 0;

  for (const tesmo::ChangeRecord& record : tesmo::diff_timelines(*before, *after)) {
    const tesmo::JsonValue payload = tesmo::change_to_json(record);
    const tesmo::JsonObject* object = payload.get_object();
    const tesmo::JsonValue* op = object ? object->find("op") : nullptr;
    if (!op || !(*op == tesmo::JsonValue(tesmo::op_name(record.kind())))) fail("payload without its op", "");
    const std::string text = tesmo::canonical_json(payload);
    tesmo::Result<tesmo::JsonValue> back = tesmo::parse_json(text);
    if (!back || !(*back == payload)) fail("payload text does not read back", text);
  }
  return 0;
}
