// The timeline model the comparison engine reads: every top-level track
// with its label, and per track its clips and transitions with all that an
// editor's change list speaks of (media, source range, name, effects, speed,
// enabled state, markers, metadata) and where each clip sits in record time.
// Gaps and nested compositions take room in record time but are not clips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "core/timeline/otio.h"
#include "core/value/error.h"
#include "core/value/json.h"
#include "core/value/json_tape.h"
#include "core/value/text_buffer.h"

namespace tesmo {

// Text that the copies of a clip share, so that taking a clip over from one
// version to the next copies no long text. Equal when the texts are.
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string text)
      : text_(text.empty() ? nullptr : std::make_shared<const std::string>(std::move(text))) {}
  std::string_view view() const { return text_ ? std::string_view(*text_) : std::string_view(); }
  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.text_ == b.text_ || a.view() == b.view();
  }

 private:
  std::shared_ptr<const std::string> text_;
};

struct CutClip {
  std::string key;                      // clip_key of the clip
  // A hash of what the clip carries besides its key and name (effects,
  // speed, enabled, markers, metadata): equal for clips alike in all that.
  std::uint64_t extras = 0;
  std::string name;                     // may be empty
  std::optional<std::string> media;     // the media identity, as the diff names it
  std::optional<TimeRange> source_range;  // the source range, else the media's available range
  std::vector<std::string> effects;     // effect names in order, time warps aside
  SharedText effects_text;              // canonical texts of those effects
  double speed = 1.0;                   // the product of linear time warps' scalars
  bool enabled = true;
  std::vector<std::string> markers;     // marker names in order
  SharedText markers_text;              // canonical text of the markers
  SharedText metadata_text;             // canonical text of the metadata object

  std::optional<RationalTime> record_in;   // at the clip's rate; none when unknown
  std::optional<RationalTime> record_out;
  std::size_t item = 0;  // index among the track's children
};

struct CutTransition {
  std::string name;
  std::string transition_type;
  std::optional<RationalTime> in_offset;
  std::optional<RationalTime> out_offset;
  std::size_t cut = 0;  // the number of the track's clips before it
  std::optional<RationalTime> record_at;  // the cut's time, at the track's rate
  std::size_t item = 0;  // index among the track's children
};

struct CutTrack {
  std::string name;
  TrackKind kind = TrackKind::Other;
  std::string label;  // "V1", "A2", "O1": kind letter and 1-based index among the tracks of that kind
  std::vector<CutClip> clips;
  std::vector<CutTransition> transitions;  // in document order, so by cut
  std::string metadata_text;  // canonical text of the track's metadata, if an object
  std::size_t item = 0;  // index among the stack's children
};

struct Cut {
  std::vector<CutTrack> tracks;
};

// The clips read from one version of a stored timeline, with the text each
// was read from, in document order, for reading the next version.
struct ClipMemo {
  struct Seen {
    std::string_view text;
    CutClip clip;
  };
  std::vector<Seen> previous;
  std::vector<Seen> current;
  std::size_t cursor = 0;  // where in `previous` the next clip is looked for first
  std::unordered_map<std::string_view, std::size_t> index;  // of `previous`, made on the first miss
  bool indexed = false;

  // The clip of the previous version read from the same text, if any.
  const CutClip* recall(std::string_view text);
  // Done with one version: its clips become the previous ones.
  void next_version();
};

// A clip's exact key: its media, or its name when it has none, and its
// exact source range. Equal keys mean the same media (or name) over the same
// range; a cut compared with itself pairs every clip on its key.
std::string clip_key(const CutClip& clip);

// The `extras` hash of a clip.
std::uint64_t clip_extras(const CutClip& clip);

// The members of a clip's metadata (given as its canonical text) that are
// compared: all of them, except the element ids ("@id") that exchange
// files give their items inside an adapter's namespace, which the file
// numbers anew each time it is written.
JsonObject comparable_metadata(std::string_view text);

// "V", "A" or "O" and the 1-based index: the label of the n-th (from 0)
// track of a kind.
std::string track_label(TrackKind kind, std::size_t index_in_kind);

// Reads a timeline document, with the checks and messages of
// read_otio_timeline. Nothing below the tracks stack fails.
Result<Cut> read_cut(const JsonValue& root);
Result<Cut> read_cut(const JsonTape& document);

// The cuts of timeline objects of a store, read one after another, failing
// as read_object and read_cut do. The clips of a version whose text is the
// same as in the version read just before are taken from that one: walking
// a history, where each version changes a few clips, reads each clip once.
class StoredCutReader {
 public:
  explicit StoredCutReader(std::string objects_dir) : objects_dir_(std::move(objects_dir)) {}
  Result<Cut> read(std::string_view id);

 private:
  std::string objects_dir_;
  TextBuffer texts_[2];  // the version being read and the one before
  int current_ = 0;
  ClipMemo memo_;
};

}  // namespace tesmo
