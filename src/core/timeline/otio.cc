// The OpenTimelineIO reader over JsonValue documents. A document the caller
// gives up is read through a mutable view, so that its strings move into the
// model instead of being copied.

#include "core/timeline/otio.h"

#include <type_traits>
#include <utility>

#include "core/timeline/otio_read.h"

namespace tesmo {
namespace {

// J is JsonValue or const JsonValue.
template <class J>
class JsonView {
 public:
  explicit JsonView(J* value) : value_(value) {}

  explicit operator bool() const { return value_ != nullptr; }
  bool is_object() const { return object() != nullptr; }

  JsonView find(std::string_view key) const {
    auto* object = this->object();
    return JsonView(object ? object->find(key) : nullptr);
  }

  std::optional<std::string_view> string() const {
    const std::string* text = string_ptr();
    if (!text) return std::nullopt;
    return std::string_view(*text);
  }

  std::string take_string() const {
    auto* text = string_ptr();
    if (!text) return std::string();
    if constexpr (std::is_const_v<J>) {
      return *text;
    } else {
      return std::move(*text);
    }
  }

  std::optional<double> number() const {
    const JsonNumber* number = value_ ? value_->get_number() : nullptr;
    if (!number) return std::nullopt;
    return number->to_double();
  }

  std::optional<std::size_t> array_size() const {
    auto* array = this->array();
    if (!array) return std::nullopt;
    return array->size();
  }
  JsonView item(std::size_t i) const { return JsonView(&(*array())[i]); }

 private:
  auto* object() const { return value_ ? std::get_if<JsonObject>(&value_->data) : nullptr; }
  auto* array() const { return value_ ? std::get_if<JsonArray>(&value_->data) : nullptr; }
  auto* string_ptr() const { return value_ ? std::get_if<std::string>(&value_->data) : nullptr; }

  J* value_;
};

}  // namespace

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
