// The three-way merge of timelines: a pure function from a base document
// and two documents derived from it (ours and theirs) to a merged document,
// the conflicts it met and warnings about what the merge may have broken.
// It pairs base with ours and base with theirs exactly as the comparison
// engine does, and merges whole documents: whatever the comparison does not
// look at (metadata, markers, names, members it does not know) is merged
// member by member and survives.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/timeline/compare.h"
#include "core/value/error.h"
#include "core/value/json.h"

namespace tesmo {

enum class MergeFavor { Ours, Theirs };

// Kinds of conflict: "trim" (an edge trimmed to different values), "media"
// (replaced differently), "effects", "member" (any other member of a clip,
// a track or the timeline changed differently), "removed_and_changed", "moved" (to
// different places), "insert_order" (different clips put at one place),
// "track_removed_and_changed", "transition", "gap".
struct MergeConflict {
  std::string kind;
  std::string track;  // the label of the track: ours' where it has it, else base's or theirs'
  std::size_t base_index = kNoIndex;  // clip positions, as in change records
  std::size_t ours_index = kNoIndex;
  std::size_t theirs_index = kNoIndex;
  JsonValue base;  // the values each side has (null where absent)
  JsonValue ours;
  JsonValue theirs;
  std::string message;
  // Where the merged timeline holds the clip: the comparison engine's
  // pairing of the favored side's clip (the value the result holds at a
  // conflict), else the other side's, with the result. Empty and kNoIndex
  // where the result does not hold it.
  std::string merged_track;
  std::size_t merged_index = kNoIndex;
};

// Kinds: "sync" (clips of one source on a picture and a sound track whose
// offset differs from both sides'), "range" (a source range outside the
// media's available range).
struct MergeWarning {
  std::string kind;
  std::string track;
  std::size_t index = kNoIndex;  // the clip's position in the merged track
  std::string message;
};

struct MergeResult {
  JsonValue timeline;  // at each conflict, the favored side's value
  std::vector<MergeConflict> conflicts;
  std::vector<MergeWarning> warnings;
};

// Fails only when a document is not a timeline (the messages of read_cut).
// When theirs equals base the result is ours exactly, and the other way
// round; when ours equals theirs it is that document.
Result<MergeResult> merge_timelines(const JsonValue& base, const JsonValue& ours, const JsonValue& theirs,
                                    MergeFavor favor);

// The record of a conflict: "kind", "track", "base_index", "ours_index",
// "theirs_index", "base", "ours", "theirs", "message".
JsonValue conflict_json(const MergeConflict& conflict);
// "kind", "track", "index", "message".
JsonValue warning_json(const MergeWarning& warning);

}  // namespace tesmo
