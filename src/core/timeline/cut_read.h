// The comparison model's reader, written once over any view of a JSON
// document (see otio_read.h for what a view answers). Besides those, the
// reader asks a view for:
//   std::optional<bool> boolean() const   when it is true or false;
//   std::string canonical() const   the value's canonical JSON text.
// One pass over the tracks and their direct children; a nested composition
// is entered only to learn its length, to a bounded depth.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/timeline/cut.h"
#include "core/timeline/otio_read.h"

namespace tesmo::cut_read {

using otio_read::rational_time;
using otio_read::schema_of;
using otio_read::string_or_empty;
using otio_read::time_range;

// Nested compositions deeper than this count as taking no time: a hostile
// document cannot make the reader recurse without bound.
inline constexpr int kMaxNesting = 32;

// A position on a track: frames at the rate of the first timed item.
class Clock {
 public:
  void advance(const RationalTime& length) {
    if (!known_) return;
    if (!rate_) rate_ = length.rate;
    if (same_rate(*rate_, length.rate)) {
      frames_ += length.value;
    } else if (length.rate > 0 && *rate_ > 0) {
      frames_ += length.value / length.rate * *rate_;
    } else {
      known_ = false;
    }
  }
  void lose() { known_ = false; }

  // The position at `rate`; none once a length was unknown.
  std::optional<RationalTime> at(double rate) const {
    if (!known_) return std::nullopt;
    if (!rate_ || same_rate(*rate_, rate)) return RationalTime{frames_, rate};
    if (*rate_ <= 0) return std::nullopt;
    return RationalTime{frames_ / *rate_ * rate, rate};
  }
  std::optional<double> rate() const { return rate_; }

 private:
  std::optional<double> rate_;
  double frames_ = 0.0;
  bool known_ = true;
};

template <class V>
std::optional<TimeRange> clip_range(const V& clip) {
  if (V range = clip.find("source_range")) {
    if (std::optional<TimeRange> r = time_range(range)) return r;
  }
  return time_range(otio_read::active_media_reference(clip).find("available_range"));
}

// How long an item lasts in its track: its source range, else for a clip
// its media's available range, else for a nested composition what its
// children take (in seconds at rate 1 when their rates differ).
template <class V>
std::optional<RationalTime> item_length(const V& item, std::string_view schema, int depth) {
  if (std::optional<TimeRange> range = time_range(item.find("source_range"))) return range->duration;
  if (schema == "Clip") {
    std::optional<TimeRange> available = clip_range(item);
    return available ? std::optional<RationalTime>(available->duration) : std::nullopt;
  }
  const bool sequence = schema == "Track";
  if (!(sequence || schema == "Stack") || depth >= kMaxNesting) return std::nullopt;
  V children = item.find("children");
  std::optional<std::size_t> count = children.array_size();
  if (!count) return RationalTime{0.0, 1.0};
  Clock total;
  double longest = 0.0;
  for (std::size_t i = 0; i < *count; ++i) {
    V child = children.item(i);
    std::optional<std::string_view> child_schema = schema_of(child);
    if (!child_schema || *child_schema == "Transition") continue;
    std::optional<RationalTime> length = item_length(child, *child_schema, depth + 1);
    if (!length) return std::nullopt;
    if (sequence) {
      total.advance(*length);
    } else if (length->rate > 0) {
      longest = std::max(longest, length->value / length->rate);
    }
  }
  if (!sequence) return RationalTime{longest, 1.0};
  std::optional<double> rate = total.rate();
  return total.at(rate ? *rate : 1.0);
}

template <class V>
std::string effect_name(const V& effect) {
  for (std::string_view key : {"effect_name", "name"}) {
    if (std::optional<std::string_view> text = effect.find(key).string(); text && !text->empty()) {
      return std::string(*text);
    }
  }
  std::optional<std::string_view> schema = schema_of(effect);
  return schema ? std::string(*schema) : std::string("effect");
}

template <class V>
void read_effects(const V& effects, CutClip& clip) {
  std::optional<std::size_t> count = effects.array_size();
  if (!count) return;
  std::string texts;
  for (std::size_t i = 0; i < *count; ++i) {
    V effect = effects.item(i);
    std::optional<std::string_view> schema = schema_of(effect);
    if (schema == std::string_view("LinearTimeWarp")) {
      std::optional<double> scalar = effect.find("time_scalar").number();
      clip.speed *= scalar ? *scalar : 1.0;
      continue;
    }
    if (schema == std::string_view("FreezeFrame")) {
      clip.speed = 0.0;
      continue;
    }
    clip.effects.push_back(effect_name(effect));
    texts += effect.canonical();
    texts += '\n';
  }
  clip.effects_text = SharedText(std::move(texts));
}

template <class V>
void read_markers(const V& markers, CutClip& clip) {
  std::optional<std::size_t> count = markers.array_size();
  if (!count || *count == 0) return;
  for (std::size_t i = 0; i < *count; ++i) clip.markers.push_back(string_or_empty(markers.item(i).find("name")));
  clip.markers_text = SharedText(markers.canonical());
}

// What a clip is, apart from where it sits.
template <class V>
CutClip read_clip_content(const V& object) {
  CutClip clip;
  clip.name = string_or_empty(object.find("name"));
  clip.media = otio_read::media_identity(otio_read::active_media_reference(object));
  clip.source_range = clip_range(object);
  read_effects(object.find("effects"), clip);
  if (std::optional<bool> enabled = object.find("enabled").boolean()) clip.enabled = *enabled;
  read_markers(object.find("markers"), clip);
  if (V metadata = object.find("metadata"); metadata.is_object()) clip.metadata_text = SharedText(metadata.canonical());
  clip.key = clip_key(clip);
  clip.extras = clip_extras(clip);
  return clip;
}

// A view that can tell the text a container was read from (span_text)
// lets a reader of consecutive versions take each clip whose text did not
// change from the version before instead of reading it again.
template <class V>
CutClip read_clip(const V& object, const Clock& clock, ClipMemo* memo) {
  CutClip clip;
  if constexpr (requires { object.span_text(); }) {
    if (memo != nullptr) {
      const std::string_view text = object.span_text();
      const CutClip* seen = memo->recall(text);
      clip = seen ? *seen : read_clip_content(object);
      memo->current.push_back({text, clip});
    } else {
      clip = read_clip_content(object);
    }
  } else {
    clip = read_clip_content(object);
  }
  if (clip.source_range) {
    const double rate = clip.source_range->duration.rate;
    clip.record_in = clock.at(rate);
    clip.record_out.reset();
    if (clip.record_in) {
      clip.record_out = RationalTime{clip.record_in->value + clip.source_range->duration.value, rate};
    }
  }
  return clip;
}

template <class V>
CutTransition read_transition(const V& object, std::size_t cut, const Clock& clock) {
  CutTransition transition;
  transition.name = string_or_empty(object.find("name"));
  transition.transition_type = string_or_empty(object.find("transition_type"));
  transition.in_offset = rational_time(object.find("in_offset"));
  transition.out_offset = rational_time(object.find("out_offset"));
  transition.cut = cut;
  std::optional<double> rate = clock.rate();
  if (!rate && transition.in_offset) rate = transition.in_offset->rate;
  transition.record_at = clock.at(rate ? *rate : 1.0);
  return transition;
}

template <class V>
CutTrack read_track(const V& object, ClipMemo* memo) {
  CutTrack track;
  track.name = string_or_empty(object.find("name"));
  track.kind = otio_read::kind_of(object.find("kind"));
  if (V metadata = object.find("metadata"); metadata.is_object()) track.metadata_text = metadata.canonical();
  V children = object.find("children");
  std::optional<std::size_t> count = children.array_size();
  if (!count) return track;
  Clock clock;
  for (std::size_t i = 0; i < *count; ++i) {
    V item = children.item(i);
    if (!item.is_object()) continue;
    const std::optional<std::string_view> schema = schema_of(item);
    if (!schema) continue;
    if (*schema == "Transition") {
      track.transitions.push_back(read_transition(item, track.clips.size(), clock));
      track.transitions.back().item = i;
      continue;
    }
    std::optional<RationalTime> length;
    if (*schema == "Clip") {
      track.clips.push_back(read_clip(item, clock, memo));
      track.clips.back().item = i;
      if (const std::optional<TimeRange>& range = track.clips.back().source_range) length = range->duration;
    } else {
      length = item_length(item, *schema == "Filler" ? "Gap" : *schema, 0);
    }
    if (length) {
      clock.advance(*length);
    } else {
      clock.lose();
    }
  }
  return track;
}

// read_cut over a view; the same checks and messages as read_otio_timeline.
template <class V>
Result<Cut> read(const V& root, ClipMemo* memo = nullptr) {
  if (!root.is_object()) return Error("expected an object at the OTIO root");
  std::optional<std::string_view> schema = root.find("OTIO_SCHEMA").string();
  if (!schema || !schema->starts_with("Timeline.")) {
    return Error("expected Timeline root, got " + std::string(schema ? *schema : std::string_view()));
  }
  V stack = root.find("tracks");
  if (!stack) return Error("Timeline has no `tracks`");
  if (!stack.is_object()) return Error("expected the top stack to be an object");
  V children = stack.find("children");
  std::optional<std::size_t> count = children.array_size();
  if (!count) return Error("stack has no `children` array");

  Cut cut;
  std::size_t per_kind[3] = {0, 0, 0};
  for (std::size_t i = 0; i < *count; ++i) {
    V track = children.item(i);
    if (!track.is_object() || schema_of(track) != std::string_view("Track")) continue;
    cut.tracks.push_back(read_track(track, memo));
    CutTrack& added = cut.tracks.back();
    added.item = i;
    added.label = track_label(added.kind, per_kind[static_cast<std::size_t>(added.kind)]++);
  }
  return cut;
}

}  // namespace tesmo::cut_read
