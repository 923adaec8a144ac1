// The timeline model the diff engine compares, and the reader that builds it
// from an OpenTimelineIO document held as a JsonValue. The model keeps only
// the top-level tracks and, per track, its clips, transitions and gaps; the
// reader is strict about the root and the tracks stack and lenient below.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/value/error.h"
#include "core/value/json.h"

namespace tesmo {

// A point or length in time: `value` units of 1/`rate` seconds.
struct RationalTime {
  double value = 0.0;
  double rate = 1.0;

  friend bool operator==(const RationalTime&, const RationalTime&) = default;
};

// The used portion of a clip's media.
struct TimeRange {
  RationalTime start_time;
  RationalTime duration;

  friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

// Two rates count as the same when they differ by less than the machine
// epsilon, 2^-52. Times at the same rate are compared and added in frames;
// nothing ever converts a time from one rate to another.
inline constexpr double kSameRateTolerance = 2.220446049250313e-16;
inline bool same_rate(double a, double b) { return std::abs(a - b) < kSameRateTolerance; }

enum class TrackKind { Video, Audio, Other };

// "video", "audio" or "other", the form change payloads use.
std::string_view track_kind_name(TrackKind kind);

struct ClipItem {
  std::string name;                     // may be empty
  std::optional<TimeRange> source_range;
  std::optional<std::string> media;     // the media identity; see read_otio_timeline
  std::size_t effect_count = 0;

  friend bool operator==(const ClipItem&, const ClipItem&) = default;
};

struct TransitionItem {
  std::string name;                     // may be empty
  std::optional<RationalTime> duration; // in_offset + out_offset when both share a rate

  friend bool operator==(const TransitionItem&, const TransitionItem&) = default;
};

// A gap carries no content, but it keeps its place in the item list: it
// separates a clip from a transition that comes after the gap.
struct GapItem {
  friend bool operator==(const GapItem&, const GapItem&) = default;
};

using TrackItem = std::variant<ClipItem, TransitionItem, GapItem>;

struct TrackModel {
  std::string name;                     // may be empty
  TrackKind kind = TrackKind::Other;
  std::vector<TrackItem> items;         // document order

  friend bool operator==(const TrackModel&, const TrackModel&) = default;
};

// The top-level tracks of a timeline in document order. Owns all its
// strings; nothing refers back to the document it was read from.
struct TimelineModel {
  std::vector<TrackModel> tracks;

  friend bool operator==(const TimelineModel&, const TimelineModel&) = default;
};

// The "OTIO_SCHEMA" text of `object` up to (not including) its first ".",
// or all of it when it has no dot; nullopt when the member is absent or not
// a string. The view points into `object`.
std::optional<std::string_view> schema_name(const JsonObject& object);

// An object with a numeric "value" (any number kind, as a double) and an
// optional numeric "rate" (1.0 when absent or not a number); nullopt for
// anything else.
std::optional<RationalTime> read_rational_time(const JsonValue& value);

// An object whose "start_time" and "duration" both read as rational times;
// nullopt otherwise.
std::optional<TimeRange> read_time_range(const JsonValue& value);

// Reads a timeline document. The only failures, checked in this order, are
//   "expected an object at the OTIO root"
//   "expected Timeline root, got <schema>"  (root "OTIO_SCHEMA" not a string
//       starting with "Timeline."; <schema> is empty unless it is a string)
//   "Timeline has no `tracks`"
//   "expected the top stack to be an object"
//   "stack has no `children` array"
// each as the whole message, with no context. Below the stack nothing fails:
// children that are not objects with schema name "Track" are skipped, track
// children other than "Clip", "Transition", "Gap" and "Filler" are skipped,
// and members that are missing or of the wrong type take defaults.
//
// A clip's media identity comes from its "media_reference" member when it
// has one; a clip without that member (the form OpenTimelineIO writes since
// Clip.2) uses the entry of its "media_references" object named by
// "active_media_reference_key", or by "DEFAULT_MEDIA" when that key is not a
// string. The identity is the reference's non-empty "target_url", else
// "ref-by-name:" + its non-empty "name", else none.
Result<TimelineModel> read_otio_timeline(const JsonValue& root);

// The same, but moves names and URLs out of `root` instead of copying them.
// `root` is left in a valid but unspecified state.
Result<TimelineModel> read_otio_timeline(JsonValue&& root);

}  // namespace tesmo
