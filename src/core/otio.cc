// Reading an OpenTimelineIO document into a TimelineModel. One pass over the
// root, the tracks stack and the direct children of each track; nested
// compositions are never entered. The reader is written once for const and
// mutable documents, so that a document the caller gives up can have its
// strings moved into the model instead of copied.

#include "otio.h"

#include <type_traits>
#include <utility>

namespace tesmo {
namespace {

// Member access that keeps the constness of the document: J is JsonValue or
// const JsonValue, and so are the pointers returned.
template <class J>
auto* object_of(J* v) {
  return v ? std::get_if<JsonObject>(&v->data) : nullptr;
}
template <class J>
auto* array_of(J* v) {
  return v ? std::get_if<JsonArray>(&v->data) : nullptr;
}
template <class J>
auto* string_of(J* v) {
  return v ? std::get_if<std::string>(&v->data) : nullptr;
}

std::string take(const std::string& s) { return s; }
std::string take(std::string& s) { return std::move(s); }

// The member's text when it is a string, else empty.
template <class J>
std::string take_string_or_empty(J* v) {
  auto* s = string_of(v);
  return s ? take(*s) : std::string();
}

bool equals_ascii_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

TrackKind read_kind(const JsonValue* v) {
  const std::string* kind = string_of(v);
  if (!kind) return TrackKind::Other;
  if (equals_ascii_folded(*kind, "video")) return TrackKind::Video;
  if (equals_ascii_folded(*kind, "audio")) return TrackKind::Audio;
  return TrackKind::Other;
}

std::optional<RationalTime> rational_member(const JsonObject& object, std::string_view key) {
  const JsonValue* v = object.find(key);
  return v ? read_rational_time(*v) : std::nullopt;
}

// The reference a clip's media identity is taken from. A clip that has a
// "media_reference" member uses it, whatever its type. Otherwise the clip is
// in the multi-reference form and the active entry of "media_references" is
// used; without such an entry the clip has no reference.
template <class O>
auto* active_media_reference(O& clip) {
  auto* ref = clip.find("media_reference");
  if (ref) return ref;
  auto* refs = object_of(clip.find("media_references"));
  if (!refs) return ref;
  const std::string* key = string_of(std::as_const(clip).find("active_media_reference_key"));
  return refs->find(key ? std::string_view(*key) : std::string_view("DEFAULT_MEDIA"));
}

template <class J>
std::optional<std::string> media_identity(J* reference) {
  auto* ref = object_of(reference);
  if (!ref) return std::nullopt;
  if (auto* url = string_of(ref->find("target_url")); url && !url->empty()) return take(*url);
  if (const std::string* name = string_of(std::as_const(*ref).find("name")); name && !name->empty()) {
    return "ref-by-name:" + *name;
  }
  return std::nullopt;
}

template <class O>
ClipItem read_clip(O& object) {
  ClipItem clip;
  clip.name = take_string_or_empty(object.find("name"));
  if (const JsonValue* range = std::as_const(object).find("source_range")) clip.source_range = read_time_range(*range);
  clip.media = media_identity(active_media_reference(object));
  if (const JsonArray* effects = array_of(std::as_const(object).find("effects"))) clip.effect_count = effects->size();
  return clip;
}

template <class O>
TransitionItem read_transition(O& object) {
  TransitionItem transition;
  transition.name = take_string_or_empty(object.find("name"));
  std::optional<RationalTime> in = rational_member(object, "in_offset");
  std::optional<RationalTime> out = rational_member(object, "out_offset");
  if (in && out) {
    // Offsets at different rates have no duration: there is no conversion.
    if (same_rate(in->rate, out->rate)) transition.duration = RationalTime{in->value + out->value, in->rate};
  } else if (in) {
    transition.duration = in;
  } else {
    transition.duration = out;
  }
  return transition;
}

template <class O>
TrackModel read_track(O& object) {
  TrackModel track;
  track.name = take_string_or_empty(object.find("name"));
  track.kind = read_kind(std::as_const(object).find("kind"));
  auto* children = array_of(object.find("children"));
  if (!children) return track;
  track.items.reserve(children->size());
  for (auto& child : *children) {
    auto* item = object_of(&child);
    if (!item) continue;
    const std::optional<std::string_view> schema = schema_name(*item);
    if (!schema) continue;
    if (*schema == "Clip") {
      track.items.emplace_back(read_clip(*item));
    } else if (*schema == "Transition") {
      track.items.emplace_back(read_transition(*item));
    } else if (*schema == "Gap" || *schema == "Filler") {
      track.items.emplace_back(GapItem{});
    }
  }
  return track;
}

template <class J>
Result<TimelineModel> read_timeline(J& root) {
  auto* top = object_of(&root);
  if (!top) return Error("expected an object at the OTIO root");
  // The root is the one place where the schema version suffix matters.
  const std::string* schema = string_of(std::as_const(*top).find("OTIO_SCHEMA"));
  if (!schema || !schema->starts_with("Timeline.")) {
    return Error("expected Timeline root, got " + (schema ? *schema : std::string()));
  }
  auto* tracks = top->find("tracks");
  if (!tracks) return Error("Timeline has no `tracks`");
  auto* stack = object_of(tracks);
  if (!stack) return Error("expected the top stack to be an object");
  auto* children = array_of(stack->find("children"));
  if (!children) return Error("stack has no `children` array");

  TimelineModel model;
  for (auto& child : *children) {
    auto* track = object_of(&child);
    if (track && schema_name(*track) == std::string_view("Track")) model.tracks.push_back(read_track(*track));
  }
  return model;
}

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
  const std::string* schema = string_of(object.find("OTIO_SCHEMA"));
  if (!schema) return std::nullopt;
  const std::string_view text(*schema);
  return text.substr(0, text.find('.'));
}

std::optional<RationalTime> read_rational_time(const JsonValue& value) {
  const JsonObject* object = value.get_object();
  if (!object) return std::nullopt;
  const JsonValue* amount = object->find("value");
  const JsonNumber* number = amount ? amount->get_number() : nullptr;
  if (!number) return std::nullopt;
  RationalTime time{number->to_double(), 1.0};
  const JsonValue* rate = object->find("rate");
  if (const JsonNumber* r = rate ? rate->get_number() : nullptr) time.rate = r->to_double();
  return time;
}

std::optional<TimeRange> read_time_range(const JsonValue& value) {
  const JsonObject* object = value.get_object();
  if (!object) return std::nullopt;
  std::optional<RationalTime> start = rational_member(*object, "start_time");
  std::optional<RationalTime> duration = rational_member(*object, "duration");
  if (!start || !duration) return std::nullopt;
  return TimeRange{*start, *duration};
}

Result<TimelineModel> read_otio_timeline(const JsonValue& root) { return read_timeline(root); }

Result<TimelineModel> read_otio_timeline(JsonValue&& root) { return read_timeline(root); }

}  // namespace tesmo
