// The timeline model the comparison engine reads: every top-level track
// with its label, and per track its clips and transitions with all that an
// editor's change list speaks of (media, source range, name, effects, speed,
// enabled state, markers, metadata) and where each clip sits in record time.
// Gaps and nested compositions take room in record time but are not clips.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/timeline/otio.h"
#include "core/value/error.h"
#include "core/value/json.h"
#include "core/value/json_tape.h"

namespace tesmo {

struct CutClip {
  std::string key;                      // clip_key of the clip
  std::string name;                     // may be empty
  std::optional<std::string> media;     // the media identity, as the diff names it
  std::optional<TimeRange> source_range;  // the source range, else the media's available range
  std::vector<std::string> effects;     // effect names in order, time warps aside
  std::string effects_text;             // canonical text of those effects
  double speed = 1.0;                   // the product of linear time warps' scalars
  bool enabled = true;
  std::vector<std::string> markers;     // marker names in order
  std::string markers_text;             // canonical text of the markers
  std::string metadata_text;             // canonical text of the metadata object

  std::optional<RationalTime> record_in;   // at the clip's rate; none when unknown
  std::optional<RationalTime> record_out;
};

struct CutTransition {
  std::string name;
  std::string transition_type;
  std::optional<RationalTime> in_offset;
  std::optional<RationalTime> out_offset;
  std::size_t cut = 0;  // the number of the track's clips before it
  std::optional<RationalTime> record_at;  // the cut's time, at the track's rate
};

struct CutTrack {
  std::string name;
  TrackKind kind = TrackKind::Other;
  std::string label;  // "V1", "A2", "O1": kind letter and 1-based index among the tracks of that kind
  std::vector<CutClip> clips;
  std::vector<CutTransition> transitions;  // in document order, so by cut
};

struct Cut {
  std::vector<CutTrack> tracks;
};

// A clip's exact key: its media, or its name when it has none, and its
// exact source range. Equal keys mean the same media (or name) over the same
// range; a cut compared with itself pairs every clip on its key.
std::string clip_key(const CutClip& clip);

// "V", "A" or "O" and the 1-based index: the label of the n-th (from 0)
// track of a kind.
std::string track_label(TrackKind kind, std::size_t index_in_kind);

// Reads a timeline document, with the checks and messages of
// read_otio_timeline. Nothing below the tracks stack fails.
Result<Cut> read_cut(const JsonValue& root);
Result<Cut> read_cut(const JsonTape& document);

// The cut of the timeline object `id` of a store, failing as read_object
// and read_cut do.
Result<Cut> read_stored_cut(const std::string& objects_dir, std::string_view id);

}  // namespace tesmo
