// Op strings and JSON payloads of change records. Members are inserted in
// ascending key order, the order a JsonObject keeps anyway, so each insert
// is an append and the code reads like the payload it builds.

#include <array>
#include <utility>

#include "core/timeline/diff.h"

namespace tesmo {
namespace {

constexpr std::array<std::string_view, kChangeKindCount> kOpNames = {
    "track_added", "track_removed",   "trimmed",  "moved",           "added",
    "removed",     "effects_changed", "replaced", "transition_added", "transition_removed",
};

JsonValue count_json(std::size_t n) { return JsonValue::from_u64(n); }

JsonValue time_json(const RationalTime& t) {
  JsonObject o;
  o.reserve(2);
  o.insert("rate", JsonValue::from_double(t.rate));
  o.insert("value", JsonValue::from_double(t.value));
  return o;
}

JsonValue time_json(const std::optional<RationalTime>& t) { return t ? time_json(*t) : JsonValue(); }

JsonValue range_json(const TimeRange& r) {
  JsonObject o;
  o.reserve(2);
  o.insert("duration", time_json(r.duration));
  o.insert("start_time", time_json(r.start_time));
  return o;
}

JsonValue string_json(const std::optional<std::string>& s) { return s ? JsonValue(*s) : JsonValue(); }

JsonValue clip_json(const ClipRef& c) {
  JsonObject o;
  o.reserve(2);
  o.insert("media_reference", string_json(c.media_reference));
  o.insert("name", c.name);
  return o;
}

JsonValue clip_json(const std::optional<ClipRef>& c) { return c ? clip_json(*c) : JsonValue(); }

JsonValue op_json(ChangeKind kind) { return JsonValue(op_name(kind)); }

JsonObject track_payload(ChangeKind kind, const std::string& name, TrackKind track_kind) {
  JsonObject o;
  o.reserve(3);
  o.insert("kind", JsonValue(track_kind_name(track_kind)));
  o.insert("name", name);
  o.insert("op", op_json(kind));
  return o;
}

JsonObject placed_clip_payload(ChangeKind kind, const ClipRef& clip, const std::string& track, std::size_t index) {
  JsonObject o;
  o.reserve(4);
  o.insert("clip", clip_json(clip));
  o.insert("index", count_json(index));
  o.insert("op", op_json(kind));
  o.insert("track", track);
  return o;
}

JsonObject payload(const change::TrackAdded& c) { return track_payload(ChangeKind::TrackAdded, c.name, c.kind); }
JsonObject payload(const change::TrackRemoved& c) { return track_payload(ChangeKind::TrackRemoved, c.name, c.kind); }

JsonObject payload(const change::Trimmed& c) {
  JsonObject o;
  o.reserve(5);
  o.insert("after", range_json(c.after));
  o.insert("before", range_json(c.before));
  o.insert("clip", clip_json(c.clip));
  o.insert("op", op_json(ChangeKind::Trimmed));
  o.insert("track", c.track);
  return o;
}

JsonObject payload(const change::Moved& c) {
  JsonObject o;
  o.reserve(8);
  o.insert("after_neighbor", clip_json(c.after_neighbor));
  o.insert("before_neighbor", clip_json(c.before_neighbor));
  o.insert("clip", clip_json(c.clip));
  o.insert("from_index", count_json(c.from_index));
  o.insert("from_track", c.from_track);
  o.insert("op", op_json(ChangeKind::Moved));
  o.insert("to_index", count_json(c.to_index));
  o.insert("to_track", c.to_track);
  return o;
}

JsonObject payload(const change::Added& c) { return placed_clip_payload(ChangeKind::Added, c.clip, c.track, c.index); }
JsonObject payload(const change::Removed& c) {
  return placed_clip_payload(ChangeKind::Removed, c.clip, c.track, c.index);
}

JsonObject payload(const change::EffectsChanged& c) {
  JsonObject o;
  o.reserve(5);
  o.insert("after", count_json(c.after));
  o.insert("before", count_json(c.before));
  o.insert("clip", clip_json(c.clip));
  o.insert("op", op_json(ChangeKind::EffectsChanged));
  o.insert("track", c.track);
  return o;
}

JsonObject payload(const change::Replaced& c) {
  JsonObject o;
  o.reserve(5);
  o.insert("after_media", string_json(c.after_media));
  o.insert("before_media", string_json(c.before_media));
  o.insert("clip", clip_json(c.clip));
  o.insert("op", op_json(ChangeKind::Replaced));
  o.insert("track", c.track);
  return o;
}

JsonObject payload(const change::TransitionAdded& c) {
  JsonObject o;
  o.reserve(6);
  o.insert("between_after", clip_json(c.between_after));
  o.insert("between_before", clip_json(c.between_before));
  o.insert("duration", time_json(c.duration));
  o.insert("name", c.name);
  o.insert("op", op_json(ChangeKind::TransitionAdded));
  o.insert("track", c.track);
  return o;
}

// A removed transition's duration is not reported, so there is no key.
JsonObject payload(const change::TransitionRemoved& c) {
  JsonObject o;
  o.reserve(5);
  o.insert("between_after", clip_json(c.between_after));
  o.insert("between_before", clip_json(c.between_before));
  o.insert("name", c.name);
  o.insert("op", op_json(ChangeKind::TransitionRemoved));
  o.insert("track", c.track);
  return o;
}

}  // namespace

std::string_view op_name(ChangeKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kOpNames.size() ? kOpNames[i] : std::string_view();
}

JsonValue change_to_json(const ChangeRecord& record) {
  return std::visit([](const auto& c) { return JsonValue(payload(c)); }, record.data);
}

}  // namespace tesmo
