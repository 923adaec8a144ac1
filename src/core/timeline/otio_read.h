// The OpenTimelineIO reader, written once over any view of a JSON document,
// so that a document can be read where it lives: a JsonValue tree here, or
// objects of another language that hold the same values. One pass over the
// root, the tracks stack and the direct children of each track; nested
// compositions are never entered.
//
// A view V is a small copyable handle to one value, or to nothing:
//   explicit operator bool()       it names a value;
//   V find(std::string_view) const the member of an object, nothing for
//                                  another kind of value or a missing key;
//   std::optional<std::string_view> string() const   when it is a string;
//   std::string take_string() const   that string's text (a view of a
//                                     document given up may move it out);
//   std::optional<double> number() const   a number as a double;
//   bool is_object() const;
//   std::optional<std::size_t> array_size() const   when it is an array;
//   V item(std::size_t) const      an element of an array.
// Every answer must be the one the JsonValue of the document would give.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/timeline/otio.h"

namespace tesmo::otio_read {

template <class V>
std::optional<std::string_view> schema_of(const V& object) {
  std::optional<std::string_view> schema = object.find("OTIO_SCHEMA").string();
  if (!schema) return std::nullopt;
  return schema->substr(0, schema->find('.'));
}

// The member's text when it is a string, else empty.
template <class V>
std::string string_or_empty(const V& v) {
  return v.string() ? v.take_string() : std::string();
}

inline bool equals_ascii_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

template <class V>
TrackKind kind_of(const V& v) {
  std::optional<std::string_view> kind = v.string();
  if (!kind) return TrackKind::Other;
  if (equals_ascii_folded(*kind, "video")) return TrackKind::Video;
  if (equals_ascii_folded(*kind, "audio")) return TrackKind::Audio;
  return TrackKind::Other;
}

template <class V>
std::optional<RationalTime> rational_time(const V& v) {
  if (!v.is_object()) return std::nullopt;
  std::optional<double> amount = v.find("value").number();
  if (!amount) return std::nullopt;
  RationalTime time{*amount, 1.0};
  if (std::optional<double> rate = v.find("rate").number()) time.rate = *rate;
  return time;
}

template <class V>
std::optional<TimeRange> time_range(const V& v) {
  if (!v.is_object()) return std::nullopt;
  std::optional<RationalTime> start = rational_time(v.find("start_time"));
  std::optional<RationalTime> duration = rational_time(v.find("duration"));
  if (!start || !duration) return std::nullopt;
  return TimeRange{*start, *duration};
}

// The reference a clip's media identity is taken from. A clip that has a
// "media_reference" member uses it, whatever its type. Otherwise the clip is
// in the multi-reference form and the active entry of "media_references" is
// used; without such an entry the clip has no reference.
template <class V>
V active_media_reference(const V& clip) {
  V ref = clip.find("media_reference");
  if (ref) return ref;
  V refs = clip.find("media_references");
  if (!refs.is_object()) return ref;
  std::optional<std::string_view> key = clip.find("active_media_reference_key").string();
  return refs.find(key ? *key : std::string_view("DEFAULT_MEDIA"));
}

template <class V>
std::optional<std::string> media_identity(const V& ref) {
  if (!ref.is_object()) return std::nullopt;
  V url = ref.find("target_url");
  if (std::optional<std::string_view> text = url.string(); text && !text->empty()) return url.take_string();
  if (std::optional<std::string_view> name = ref.find("name").string(); name && !name->empty()) {
    return "ref-by-name:" + std::string(*name);
  }
  return std::nullopt;
}

template <class V>
ClipItem read_clip(const V& object) {
  ClipItem clip;
  clip.name = string_or_empty(object.find("name"));
  if (V range = object.find("source_range")) clip.source_range = time_range(range);
  clip.media = media_identity(active_media_reference(object));
  if (std::optional<std::size_t> effects = object.find("effects").array_size()) clip.effect_count = *effects;
  return clip;
}

template <class V>
TransitionItem read_transition(const V& object) {
  TransitionItem transition;
  transition.name = string_or_empty(object.find("name"));
  std::optional<RationalTime> in = rational_time(object.find("in_offset"));
  std::optional<RationalTime> out = rational_time(object.find("out_offset"));
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

template <class V>
TrackModel read_track(const V& object) {
  TrackModel track;
  track.name = string_or_empty(object.find("name"));
  track.kind = kind_of(object.find("kind"));
  V children = object.find("children");
  std::optional<std::size_t> count = children.array_size();
  if (!count) return track;
  track.items.reserve(*count);
  for (std::size_t i = 0; i < *count; ++i) {
    V item = children.item(i);
    if (!item.is_object()) continue;
    const std::optional<std::string_view> schema = schema_of(item);
    if (!schema) continue;
    if (*schema == "Clip") {
      track.items.emplace_back(read_clip(item));
    } else if (*schema == "Transition") {
      track.items.emplace_back(read_transition(item));
    } else if (*schema == "Gap" || *schema == "Filler") {
      track.items.emplace_back(GapItem{});
    }
  }
  return track;
}

// The children array of a timeline's tracks stack, after the checks of
// read_otio_timeline, with its messages.
template <class V>
Result<V> stack_children(const V& root) {
  if (!root.is_object()) return Error("expected an object at the OTIO root");
  // The root is the one place where the schema version suffix matters.
  std::optional<std::string_view> schema = root.find("OTIO_SCHEMA").string();
  if (!schema || !schema->starts_with("Timeline.")) {
    return Error("expected Timeline root, got " + std::string(schema ? *schema : std::string_view()));
  }
  V stack = root.find("tracks");
  if (!stack) return Error("Timeline has no `tracks`");
  if (!stack.is_object()) return Error("expected the top stack to be an object");
  V children = stack.find("children");
  if (!children.array_size()) return Error("stack has no `children` array");
  return children;
}

// read_otio_timeline over a view; the same checks and messages.
template <class V>
Result<TimelineModel> read_timeline(const V& root) {
  Result<V> found = stack_children(root);
  if (!found) return found.error();
  const V children = *found;
  const std::optional<std::size_t> count = children.array_size();

  TimelineModel model;
  for (std::size_t i = 0; i < *count; ++i) {
    V track = children.item(i);
    if (track.is_object() && schema_of(track) == std::string_view("Track")) {
      model.tracks.push_back(read_track(track));
    }
  }
  return model;
}

}  // namespace tesmo::otio_read
