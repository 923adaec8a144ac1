// The semantic diff of two timeline models: the change records it produces,
// their JSON payloads, and the comparison that pairs tracks and clips.
// Records own copies of everything they name and refer to nothing in the
// models; the comparison cannot fail and keeps no state between calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/value/json.h"
#include "core/timeline/otio.h"
#include "core/store/repo.h"

namespace tesmo {

// The kinds of change, in the order of ChangeRecord's alternatives.
enum class ChangeKind {
  TrackAdded,
  TrackRemoved,
  Trimmed,
  Moved,
  Added,
  Removed,
  EffectsChanged,
  Replaced,
  TransitionAdded,
  TransitionRemoved,
};
inline constexpr std::size_t kChangeKindCount = 10;

// The op string of a kind ("track_added", "track_removed", "trimmed",
// "moved", "added", "removed", "effects_changed", "replaced",
// "transition_added", "transition_removed"), the "op" member of every
// payload and the value of Change.op. Views a static string.
std::string_view op_name(ChangeKind kind);

// A clip as named inside a record: its name and its media identity.
struct ClipRef {
  std::string name;                            // may be empty
  std::optional<std::string> media_reference;  // absent when the clip has no media

  friend bool operator==(const ClipRef&, const ClipRef&) = default;
};

// One struct per kind, fields in payload-key terms. Clip positions count
// clips only; gaps and transitions are not counted.
namespace change {

struct TrackAdded {
  std::string name;
  TrackKind kind = TrackKind::Other;
  friend bool operator==(const TrackAdded&, const TrackAdded&) = default;
};
struct TrackRemoved {
  std::string name;
  TrackKind kind = TrackKind::Other;
  friend bool operator==(const TrackRemoved&, const TrackRemoved&) = default;
};
struct Trimmed {
  ClipRef clip;  // the after clip
  std::string track;
  TimeRange before;
  TimeRange after;
  friend bool operator==(const Trimmed&, const Trimmed&) = default;
};
struct Moved {
  ClipRef clip;  // the after clip
  std::string from_track;
  std::size_t from_index = 0;
  std::string to_track;  // always equal to from_track: moves stay within a track pair
  std::size_t to_index = 0;
  std::optional<ClipRef> after_neighbor;   // the next clip on the after side
  std::optional<ClipRef> before_neighbor;  // the previous clip on the after side
  friend bool operator==(const Moved&, const Moved&) = default;
};
struct Added {
  ClipRef clip;
  std::string track;
  std::size_t index = 0;  // position in the after clip list
  friend bool operator==(const Added&, const Added&) = default;
};
struct Removed {
  ClipRef clip;
  std::string track;
  std::size_t index = 0;  // position in the before clip list
  friend bool operator==(const Removed&, const Removed&) = default;
};
struct EffectsChanged {
  ClipRef clip;  // the after clip
  std::string track;
  std::size_t before = 0;
  std::size_t after = 0;
  friend bool operator==(const EffectsChanged&, const EffectsChanged&) = default;
};
struct Replaced {
  ClipRef clip;  // the after clip
  std::string track;
  std::optional<std::string> before_media;
  std::optional<std::string> after_media;
  friend bool operator==(const Replaced&, const Replaced&) = default;
};
struct TransitionAdded {
  std::string track;
  std::optional<ClipRef> between_before;  // the after clip the transition follows
  std::optional<ClipRef> between_after;   // the after clip after that one, if any
  std::string name;
  std::optional<RationalTime> duration;
  friend bool operator==(const TransitionAdded&, const TransitionAdded&) = default;
};
struct TransitionRemoved {
  std::string track;
  std::optional<ClipRef> between_before;  // the before clip the transition followed
  std::optional<ClipRef> between_after;   // the before clip after that one, if any
  std::string name;
  friend bool operator==(const TransitionRemoved&, const TransitionRemoved&) = default;
};

}  // namespace change

// One semantic difference. The alternative's index is its ChangeKind.
struct ChangeRecord {
  using Data = std::variant<change::TrackAdded, change::TrackRemoved, change::Trimmed, change::Moved,
                            change::Added, change::Removed, change::EffectsChanged, change::Replaced,
                            change::TransitionAdded, change::TransitionRemoved>;
  Data data;

  ChangeKind kind() const { return static_cast<ChangeKind>(data.index()); }

  friend bool operator==(const ChangeRecord&, const ChangeRecord&) = default;
};
static_assert(std::variant_size_v<ChangeRecord::Data> == kChangeKindCount);

// The payload: an object with "op" and one member per field, keyed by the
// field name. Strings stay strings; positions and counts are Unsigned; times
// are objects of Float "value" and "rate" (Null for a non-finite double);
// ranges hold "start_time" and "duration"; clip references hold "name" and
// "media_reference"; absent optionals are Null. Never fails.
JsonValue change_to_json(const ChangeRecord& record);

// Appends the records of one track pair to `out`: per clip pair (in before
// order) trimmed, moved, effects_changed, replaced; then removed clips, added
// clips, and finally transitions added or removed after paired clips. Every
// record names the after track's name, or the before track's when that is
// empty. O(n log n) in the number of clips.
void diff_track_pair(const TrackModel& before, const TrackModel& after, std::vector<ChangeRecord>& out);

// The records that turn `before` into `after`: the records of every track
// pair in the order the pairs were made, then track_removed for each unpaired
// before track, then track_added for each unpaired after track. Tracks pair
// greedily in after order, by kind and equal name first, by kind alone
// second; tracks of different kinds never pair. Empty when nothing differs.
std::vector<ChangeRecord> diff_timelines(const TimelineModel& before, const TimelineModel& after);

// The changes from the timeline of `before_ref` to that of `after_ref` in
// a repository. Reads in this order, stopping at the first failure: resolve
// both refs, read both commits, read both timelines, read both as OTIO
// timelines.
Result<std::vector<ChangeRecord>> diff_refs(const Repo& repo, std::string_view before_ref,
                                            std::string_view after_ref);

}  // namespace tesmo
