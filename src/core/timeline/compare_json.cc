// The JSON records of the comparison engine's edits: the members every
// record has, then those of its op. Frame counts and rates that are whole
// numbers are written as integers, so that no view ever shows 1.29655e+06
// for a count of frames.

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/timeline/compare.h"

namespace tesmo {
namespace {

JsonValue number_json(double x) {
  if (std::isfinite(x) && x == std::trunc(x) && std::abs(x) < 0x1p53) {
    return JsonValue::from_i64(static_cast<std::int64_t>(x));
  }
  return JsonValue::from_double(x);
}

JsonValue time_json(const RationalTime& t) {
  JsonObject o;
  o.insert("rate", number_json(t.rate));
  o.insert("value", number_json(t.value));
  return o;
}

JsonValue time_json(const std::optional<RationalTime>& t) { return t ? time_json(*t) : JsonValue(); }

JsonValue range_json(const std::optional<TimeRange>& r) {
  if (!r) return JsonValue();
  JsonObject o;
  o.insert("duration", time_json(r->duration));
  o.insert("start_time", time_json(r->start_time));
  return o;
}

JsonValue index_json(std::size_t i) { return i == kNoIndex ? JsonValue() : JsonValue::from_u64(i); }

JsonValue text_json(const std::optional<std::string>& s) { return s ? JsonValue(*s) : JsonValue(); }

JsonValue names_json(const std::vector<std::string>& names) {
  JsonArray out;
  out.reserve(names.size());
  for (const std::string& name : names) out.emplace_back(name);
  return out;
}

// The names only `from` has, counted as a multiset and kept in its order.
std::vector<std::string> only_in(const std::vector<std::string>& from, const std::vector<std::string>& other) {
  std::vector<std::string> rest = other;
  std::vector<std::string> out;
  for (const std::string& name : from) {
    auto it = std::find(rest.begin(), rest.end(), name);
    if (it != rest.end()) {
      rest.erase(it);
    } else {
      out.push_back(name);
    }
  }
  return out;
}

// A time at `rate`, through seconds when the rates differ.
double frames_at(const RationalTime& t, double rate) {
  if (same_rate(t.rate, rate) || t.rate <= 0) return t.value;
  return t.value / t.rate * rate;
}

// Frames are whole in most cuts; a count from a rate change is kept to a
// millionth of a frame, which drops the noise of the conversion.
double tidy(double frames) {
  const double whole = std::round(frames);
  if (std::abs(frames - whole) < 1e-6) return whole;
  return std::round(frames * 1e6) / 1e6;
}

JsonValue transition_json(const CutTransition* t) {
  if (!t) return JsonValue();
  JsonObject o;
  o.insert("in_offset", time_json(t->in_offset));
  o.insert("name", t->name);
  o.insert("out_offset", time_json(t->out_offset));
  o.insert("transition_type", t->transition_type);
  return o;
}

const CutTransition* transition_at(const CutTrack* track, std::size_t cut) {
  if (!track || cut == kNoIndex) return nullptr;
  for (const CutTransition& t : track->transitions) {
    if (t.cut == cut) return &t;
  }
  return nullptr;
}

bool is_clip_op(EditOp op) {
  return op != EditOp::TransitionAdded && op != EditOp::TransitionRemoved && op != EditOp::TransitionChanged &&
         op != EditOp::TrackAdded && op != EditOp::TrackRemoved && op != EditOp::TrackRenamed;
}

bool is_track_op(EditOp op) {
  return op == EditOp::TrackAdded || op == EditOp::TrackRemoved || op == EditOp::TrackRenamed;
}

void clip_members(const CutClip* b, const CutClip* a, EditOp op, JsonObject& o) {
  switch (op) {
    case EditOp::Trimmed:
    case EditOp::Slipped: {
      o.insert("after_range", range_json(a->source_range));
      o.insert("before_range", range_json(b->source_range));
      if (!b->source_range || !a->source_range) break;
      const TimeRange& br = *b->source_range;
      const TimeRange& ar = *a->source_range;
      const double rate = ar.duration.rate;
      const double b_start = frames_at(br.start_time, rate);
      const double b_end = b_start + frames_at(br.duration, rate);
      const double a_start = frames_at(ar.start_time, rate);
      const double a_end = a_start + frames_at(ar.duration, rate);
      if (op == EditOp::Trimmed) {
        o.insert("head", number_json(tidy(b_start - a_start)));
        o.insert("tail", number_json(tidy(a_end - b_end)));
      } else {
        o.insert("offset", number_json(tidy(a_start - b_start)));
      }
      o.insert("rate", number_json(rate));
      break;
    }
    case EditOp::Replaced:
      o.insert("after_media", text_json(a->media));
      o.insert("before_media", text_json(b->media));
      break;
    case EditOp::EffectsChanged:
      o.insert("added", names_json(only_in(a->effects, b->effects)));
      o.insert("after_effects", names_json(a->effects));
      o.insert("before_effects", names_json(b->effects));
      o.insert("removed", names_json(only_in(b->effects, a->effects)));
      break;
    case EditOp::Renamed:
      o.insert("after_name", a->name);
      o.insert("before_name", b->name);
      break;
    case EditOp::Retimed:
      o.insert("after_speed", JsonValue::from_double(a->speed));
      o.insert("before_speed", JsonValue::from_double(b->speed));
      break;
    case EditOp::EnabledChanged:
      o.insert("after_enabled", a->enabled);
      o.insert("before_enabled", b->enabled);
      break;
    case EditOp::MarkersChanged:
      o.insert("added", names_json(only_in(a->markers, b->markers)));
      o.insert("after_markers", names_json(a->markers));
      o.insert("before_markers", names_json(b->markers));
      o.insert("removed", names_json(only_in(b->markers, a->markers)));
      break;
    case EditOp::MetadataChanged: {
      const JsonObject bm = comparable_metadata(b->metadata_text.view());
      const JsonObject am = comparable_metadata(a->metadata_text.view());
      std::set<std::string> keys;
      for (const auto& [key, value] : bm) {
        const JsonValue* other = am.find(key);
        if (!other || !(*other == value)) keys.insert(key);
      }
      for (const auto& [key, value] : am) {
        if (!bm.find(key)) keys.insert(key);
      }
      o.insert("keys", names_json(std::vector<std::string>(keys.begin(), keys.end())));
      break;
    }
    default:
      break;
  }
}

}  // namespace

JsonValue edit_json(const Cut& before, const Cut& after, const Edit& edit) {
  const CutTrack* bt = edit.before_track == kNoIndex ? nullptr : &before.tracks[edit.before_track];
  const CutTrack* at = edit.after_track == kNoIndex ? nullptr : &after.tracks[edit.after_track];
  const CutTrack* track = at ? at : bt;

  JsonObject o;
  o.insert("after_track", at ? JsonValue(at->label) : JsonValue());
  o.insert("before_track", bt ? JsonValue(bt->label) : JsonValue());
  o.insert("kind", JsonValue(track_kind_name(track->kind)));
  o.insert("op", JsonValue(edit_op_name(edit.op)));
  o.insert("track", track->label);
  o.insert("track_name", track->name);

  if (is_track_op(edit.op)) {
    o.insert("after_index", JsonValue());
    o.insert("before_index", JsonValue());
    o.insert("media", JsonValue());
    o.insert("name", track->name);
    o.insert("record_in", JsonValue());
    o.insert("record_out", JsonValue());
    o.insert("after_name", at ? JsonValue(at->name) : JsonValue());
    o.insert("before_name", bt ? JsonValue(bt->name) : JsonValue());
    return o;
  }
  o.insert("after_index", index_json(edit.after_index));
  o.insert("before_index", index_json(edit.before_index));

  if (is_clip_op(edit.op)) {
    const CutClip* b = edit.before_index == kNoIndex ? nullptr : &bt->clips[edit.before_index];
    const CutClip* a = edit.after_index == kNoIndex ? nullptr : &at->clips[edit.after_index];
    const CutClip* clip = a ? a : b;
    o.insert("media", text_json(clip->media));
    o.insert("name", clip->name);
    o.insert("record_in", time_json(clip->record_in));
    o.insert("record_out", time_json(clip->record_out));
    if (a && b) clip_members(b, a, edit.op, o);
    return o;
  }

  const CutTransition* tb = transition_at(bt, edit.before_index);
  const CutTransition* ta = transition_at(at, edit.after_index);
  const CutTransition* t = ta ? ta : tb;
  o.insert("after_transition", transition_json(ta));
  o.insert("before_transition", transition_json(tb));
  o.insert("media", JsonValue());
  o.insert("name", t ? JsonValue(t->name) : JsonValue(""));
  std::optional<RationalTime> in, out;
  if (t && t->record_at) {
    const double rate = t->record_at->rate;
    in = RationalTime{t->record_at->value - (t->in_offset ? frames_at(*t->in_offset, rate) : 0.0), rate};
    out = RationalTime{t->record_at->value + (t->out_offset ? frames_at(*t->out_offset, rate) : 0.0), rate};
  }
  o.insert("record_in", time_json(in));
  o.insert("record_out", time_json(out));
  return o;
}

}  // namespace tesmo
