// The OpenTimelineIO reader over JsonValue documents. A document the caller
// gives up is read through a mutable view, so that its strings move into the
// model instead of being copied.

#include "core/timeline/otio.h"

#include <type_traits>
#include <utility>

#include "core/timeline/json_view.h"
#include "core/timeline/otio_read.h"

namespace tesmo {

std::string_view track_kind_name(TrackKind kind) {
  switch (kind) {
    case TrackKind::Video: return "video";
    case TrackKind::Audio: return "audio";
    case TrackKind::Other: break;
  }
  return "other";
}

std::optional<std::string_view> schema_name(const JsonObject& object) {
  const JsonValue* schema = object.find("OTIO_SCHEMA");
  const std::string* text = schema ? schema->get_string() : nullptr;
  if (!text) return std::nullopt;
  return std::string_view(*text).substr(0, text->find('.'));
}

std::optional<RationalTime> read_rational_time(const JsonValue& value) {
  return otio_read::rational_time(JsonView<const JsonValue>(&value));
}

std::optional<TimeRange> read_time_range(const JsonValue& value) {
  return otio_read::time_range(JsonView<const JsonValue>(&value));
}

Result<TimelineModel> read_otio_timeline(const JsonValue& root) {
  return otio_read::read_timeline(JsonView<const JsonValue>(&root));
}

Result<TimelineModel> read_otio_timeline(JsonValue&& root) {
  return otio_read::read_timeline(JsonView<JsonValue>(&root));
}

}  // namespace tesmo
