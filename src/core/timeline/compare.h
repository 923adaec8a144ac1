// The comparison engine: pairs the tracks of two cuts, then the clips and
// transitions of every track pair, and lists the edits that turn one cut
// into the other, each naming its clips by track and position. Every view
// (the change list, its JSON, annotations, the report, a clip's history)
// and the merge read this one comparison; none pairs anything again.
#pragma once

#include <cstddef>
#include <limits>
#include <string_view>
#include <vector>

#include "core/timeline/cut.h"
#include "core/value/json.h"

namespace tesmo {

inline constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

// The kinds of edit, in the order the summary of a change list gives them.
enum class EditOp {
  Trimmed,
  Slipped,
  Moved,
  Added,
  Removed,
  Replaced,
  EffectsChanged,
  Retimed,
  Renamed,
  EnabledChanged,
  MarkersChanged,
  MetadataChanged,
  TransitionAdded,
  TransitionRemoved,
  TransitionChanged,
  TrackAdded,
  TrackRemoved,
  TrackRenamed,
};
inline constexpr std::size_t kEditOpCount = 18;

// "trimmed", "slipped", ... : the "op" of a record.
std::string_view edit_op_name(EditOp op);

// A clip of a cut: its track's index in Cut::tracks and its index in that
// track's clips. `track` is kNoIndex for no clip.
struct ClipSpot {
  std::size_t track = kNoIndex;
  std::size_t clip = kNoIndex;
  explicit operator bool() const { return track != kNoIndex; }
  friend bool operator==(const ClipSpot&, const ClipSpot&) = default;
};

// One edit. Tracks are indices into each cut's tracks; for clip records the
// indices are clip positions in those tracks, for transition records the
// cut positions (the number of clips before the transition), and for track
// records both are kNoIndex. kNoIndex marks the side where the thing does
// not exist.
struct Edit {
  EditOp op = EditOp::Added;
  std::size_t before_track = kNoIndex;
  std::size_t after_track = kNoIndex;
  std::size_t before_index = kNoIndex;
  std::size_t after_index = kNoIndex;
  friend bool operator==(const Edit&, const Edit&) = default;
};

struct Comparison {
  std::vector<std::size_t> track_after_of_before;  // kNoIndex where unpaired
  std::vector<std::size_t> track_before_of_after;
  // Per track, per clip: the clip it paired with on the other side.
  std::vector<std::vector<ClipSpot>> clip_after_of_before;
  std::vector<std::vector<ClipSpot>> clip_before_of_after;
  // Grouped by track in the after cut's order (tracks only in the before cut
  // last), by position within a track.
  std::vector<Edit> edits;
};

// Compares two cuts. Cannot fail; the work is O(n log n) in the clips of a
// track pair for ordinary cuts and bounded for hostile ones.
Comparison compare_cuts(const Cut& before, const Cut& after);

// The record of an edit, as documented for `tesmo diff --json`: "op",
// "track", "track_name", "kind", "before_track", "after_track",
// "before_index", "after_index", "name", "media", "record_in",
// "record_out", and the members of its op.
JsonValue edit_json(const Cut& before, const Cut& after, const Edit& edit);

}  // namespace tesmo
