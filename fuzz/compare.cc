// read_cut and compare_cuts on pairs of JSON documents, split at the first
// NUL byte as in diff_timelines (an input without one is compared with
// itself). Checks what every comparison must hold: the clip pairing is one
// to one and agrees in both directions; a cut compared with itself has no
// edits; every edit names clips, cuts and tracks that exist, on the sides
// its op says; every clip of a track both cuts have is paired or has its
// own added or removed record; every record is built and reads back; and
// a document read as a tape gives the cut its JsonValue gives; and a merge
// whose one side is the base gives the other side.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/timeline/compare.h"
#include "core/timeline/cut.h"
#include "core/timeline/merge.h"
#include "core/value/json.h"
#include "core/value/json_tape.h"

namespace {

using tesmo::Comparison;
using tesmo::Cut;
using tesmo::Edit;
using tesmo::EditOp;
using tesmo::kNoIndex;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Read from a JsonValue and from a tape, which must agree. The document is
// kept in `document`.
std::optional<Cut> read(std::string_view text, tesmo::JsonValue& document) {
  tesmo::Result<tesmo::JsonValue> value = tesmo::parse_json(text);
  tesmo::Result<tesmo::JsonTape> tape = tesmo::JsonTape::parse(text);
  if (bool(value) != bool(tape)) fail("tape and value readers disagree on the text");
  if (!value) return std::nullopt;
  tesmo::Result<Cut> cut = tesmo::read_cut(*value);
  tesmo::Result<Cut> from_tape = tesmo::read_cut(*tape);
  if (bool(cut) != bool(from_tape)) fail("tape and value readers disagree on the timeline");
  if (!cut) return std::nullopt;
  const Comparison same = tesmo::compare_cuts(*cut, *from_tape);
  if (!same.edits.empty() || cut->tracks.size() != from_tape->tracks.size()) fail("the tape reads another cut");
  for (std::size_t t = 0; t < cut->tracks.size(); ++t) {
    for (std::size_t i = 0; i < cut->tracks[t].clips.size(); ++i) {
      if (cut->tracks[t].clips[i].key != from_tape->tracks[t].clips[i].key) fail("the tape reads another clip");
    }
  }
  document = std::move(*value);
  return std::move(*cut);
}

// Merging with one side unchanged gives the other side, whole.
void check_merge(const tesmo::JsonValue& base, const tesmo::JsonValue& side) {
  for (const auto& [ours, theirs] : {std::pair{&side, &base}, std::pair{&base, &side}, std::pair{&side, &side}}) {
    tesmo::Result<tesmo::MergeResult> merged = tesmo::merge_timelines(base, *ours, *theirs, tesmo::MergeFavor::Ours);
    if (!merged) fail("a merge of timelines failed");
    if (!merged->conflicts.empty()) fail("a merge with one side unchanged has conflicts");
    if (!(merged->timeline == side)) fail("a merge with one side unchanged is not the other side");
  }
}

void check_pairing(const Cut& before, const Cut& after, const Comparison& c) {
  if (c.clip_after_of_before.size() != before.tracks.size()) fail("pairing table size");
  if (c.clip_before_of_after.size() != after.tracks.size()) fail("pairing table size");
  for (std::size_t t = 0; t < before.tracks.size(); ++t) {
    for (std::size_t i = 0; i < before.tracks[t].clips.size(); ++i) {
      const tesmo::ClipSpot spot = c.clip_after_of_before[t][i];
      if (!spot) continue;
      if (spot.track >= after.tracks.size() || spot.clip >= after.tracks[spot.track].clips.size()) fail("pair out of range");
      if (after.tracks[spot.track].kind != before.tracks[t].kind) fail("clips of different kinds paired");
      const tesmo::ClipSpot back = c.clip_before_of_after[spot.track][spot.clip];
      if (back.track != t || back.clip != i) fail("pairing not one to one");
    }
  }
  for (std::size_t t = 0; t < after.tracks.size(); ++t) {
    for (std::size_t i = 0; i < after.tracks[t].clips.size(); ++i) {
      const tesmo::ClipSpot spot = c.clip_before_of_after[t][i];
      if (spot && !(c.clip_after_of_before[spot.track][spot.clip] == tesmo::ClipSpot{t, i})) fail("pairing asymmetric");
    }
  }
}

void check_edits(const Cut& before, const Cut& after, const Comparison& c) {
  std::vector<std::vector<int>> removed(before.tracks.size()), added(after.tracks.size());
  for (std::size_t t = 0; t < before.tracks.size(); ++t) removed[t].assign(before.tracks[t].clips.size(), 0);
  for (std::size_t t = 0; t < after.tracks.size(); ++t) added[t].assign(after.tracks[t].clips.size(), 0);
  for (const Edit& e : c.edits) {
    if (e.before_track != kNoIndex && e.before_track >= before.tracks.size()) fail("before track out of range");
    if (e.after_track != kNoIndex && e.after_track >= after.tracks.size()) fail("after track out of range");
    if (e.before_track == kNoIndex && e.after_track == kNoIndex) fail("edit without a track");
    switch (e.op) {
      case EditOp::Added:
        if (e.before_index != kNoIndex || e.after_index >= after.tracks[e.after_track].clips.size()) fail("added");
        ++added[e.after_track][e.after_index];
        break;
      case EditOp::Removed:
        if (e.after_index != kNoIndex || e.before_index >= before.tracks[e.before_track].clips.size()) fail("removed");
        ++removed[e.before_track][e.before_index];
        break;
      case EditOp::TransitionAdded:
      case EditOp::TransitionRemoved:
      case EditOp::TransitionChanged:
      case EditOp::TrackAdded:
      case EditOp::TrackRemoved:
      case EditOp::TrackRenamed:
        break;
      default:
        if (e.before_track == kNoIndex || e.after_track == kNoIndex ||
            e.before_index >= before.tracks[e.before_track].clips.size() ||
            e.after_index >= after.tracks[e.after_track].clips.size()) {
          fail("clip edit without both clips");
        }
        if (!(c.clip_after_of_before[e.before_track][e.before_index] == tesmo::ClipSpot{e.after_track, e.after_index})) {
          fail("clip edit on clips that were not paired");
        }
    }
    const tesmo::JsonValue record = tesmo::edit_json(before, after, e);
    const std::string text = tesmo::canonical_json(record);
    tesmo::Result<tesmo::JsonValue> back = tesmo::parse_json(text);
    if (!back || !(*back == record)) fail("record text does not read back");
  }
  for (std::size_t t = 0; t < before.tracks.size(); ++t) {
    if (c.track_after_of_before[t] == kNoIndex) continue;
    for (std::size_t i = 0; i < removed[t].size(); ++i) {
      if (removed[t][i] != (c.clip_after_of_before[t][i] ? 0 : 1)) fail("unpaired before clip without one removal");
    }
  }
  for (std::size_t t = 0; t < after.tracks.size(); ++t) {
    if (c.track_before_of_after[t] == kNoIndex) continue;
    for (std::size_t i = 0; i < added[t].size(); ++i) {
      if (added[t][i] != (c.clip_before_of_after[t][i] ? 0 : 1)) fail("unpaired after clip without one addition");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  tesmo::JsonValue before_doc, after_doc;
  const std::optional<Cut> before = read(input.substr(0, split), before_doc);
  if (!before) return 0;
  if (!compare_cuts(*before, *before).edits.empty()) fail("a cut differs from itself");
  const std::optional<Cut> after =
      split == std::string_view::npos ? before : read(input.substr(split + 1), after_doc);
  if (!after) return 0;
  check_merge(before_doc, split == std::string_view::npos ? before_doc : after_doc);
  const Comparison c = tesmo::compare_cuts(*before, *after);
  check_pairing(*before, *after, c);
  check_edits(*before, *after, c);
  return 0;
}
