// The comparison of two timeline models: pairing tracks, pairing the clips of
// each track pair by key, finding the clips that kept their relative order,
// and emitting the change records. All working data lives for one call.
//
// Per track pair the cost is one pass to build keys, per matching pass a
// sort of each side's keys (skipped when already in order) and one merge
// walk over both, and a binary-search longest increasing run: O(n log n) in
// the clips. Keys are views into the models or into one buffer per pass, so
// no key costs an allocation of its own. Positions are dense, so the
// matched flags and the stable set are tables indexed by position: a hash
// set with the identity as its hash and no collisions.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "core/timeline/diff.h"

namespace tesmo {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Source ranges whose starts and durations both differ by less than this
// are the same range.
constexpr double kTrimTolerance = 1e-6;

// ---------------------------------------------------------------------------
// Clip lists

// A clip and its index in the track's full item list, which is where its
// following transition is looked for.
struct ClipSlot {
  const ClipItem* clip;
  std::size_t item_index;
};

std::vector<ClipSlot> clip_list(const TrackModel& track) {
  std::vector<ClipSlot> clips;
  clips.reserve(track.items.size());
  for (std::size_t i = 0; i < track.items.size(); ++i) {
    if (const ClipItem* clip = std::get_if<ClipItem>(&track.items[i])) clips.push_back({clip, i});
  }
  return clips;
}

// The transition directly after the clip, if the next item is one.
const TransitionItem* following_transition(const TrackModel& track, const ClipSlot& slot) {
  const std::size_t next = slot.item_index + 1;
  return next < track.items.size() ? std::get_if<TransitionItem>(&track.items[next]) : nullptr;
}

ClipRef clip_ref(const ClipItem& clip) { return ClipRef{clip.name, clip.media}; }

// The clip at `pos` of the list, or none when `pos` is past its end.
std::optional<ClipRef> clip_ref_at(const std::vector<ClipSlot>& clips, std::size_t pos) {
  if (pos >= clips.size()) return std::nullopt;
  return clip_ref(*clips[pos].clip);
}

// ---------------------------------------------------------------------------
// Keys and group matching

// One clip's key in one matching pass. Within a pass, entries order by
// (tag, key) exactly as their full key texts order by bytes: the identity
// pass writes "media:" + identity as tag 0 and "name:" + name as tag 1
// ("m" < "n"), and a shared prefix never changes how the rest compares.
struct KeyEntry {
  std::string_view key;
  std::size_t pos;  // clip position on the entry's own side
  std::uint8_t tag;
};

// The keys of one side, pushed in ascending position.
using KeyList = std::vector<KeyEntry>;

struct Matching {
  std::vector<std::size_t> after_of_before;  // kNone while the before clip is unmatched
  std::vector<char> after_matched;
};

int compare_keys(const KeyEntry& a, const KeyEntry& b) {
  if (a.tag != b.tag) return a.tag < b.tag ? -1 : 1;
  return a.key.compare(b.key);  // char_traits<char> compares as unsigned bytes
}

// By key, then position. Keys often follow clip order already (numbered
// shots), so a sorted list is left as it is.
void sort_keys(KeyList& keys) {
  const auto less = [](const KeyEntry& a, const KeyEntry& b) {
    const int c = compare_keys(a, b);
    return c != 0 ? c < 0 : a.pos < b.pos;
  };
  if (!std::is_sorted(keys.begin(), keys.end(), less)) std::sort(keys.begin(), keys.end(), less);
}

// The end of the run of entries equal in key to keys[first].
std::size_t run_end(const KeyList& keys, std::size_t first) {
  std::size_t end = first + 1;
  while (end < keys.size() && compare_keys(keys[end], keys[first]) == 0) ++end;
  return end;
}

// Groups both sides by key and walks the keys in ascending byte order.
// Within a group the i-th before clip (by position) pairs with the i-th
// after clip; the surplus of the larger side stays unmatched. Pairs are
// recorded against their before position, which is the order they are
// used in.
void match_groups(KeyList& before, KeyList& after, Matching& m) {
  sort_keys(before);
  sort_keys(after);
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < before.size() && j < after.size()) {
    const int c = compare_keys(before[i], after[j]);
    if (c < 0) {
      ++i;
    } else if (c > 0) {
      ++j;
    } else {
      const std::size_t before_end = run_end(before, i);
      const std::size_t after_end = run_end(after, j);
      for (; i < before_end && j < after_end; ++i, ++j) {
        m.after_of_before[before[i].pos] = after[j].pos;
        m.after_matched[after[j].pos] = 1;
      }
      i = before_end;
      j = after_end;
    }
  }
}

// Writes the numbers of exact keys in fixed point with six digits after the
// point, as std::to_chars does (exact, and independent of the locale). Frame
// counts and rates are mostly whole numbers, which need no float formatting,
// and the others tend to repeat from clip to clip (a track's rate), so the
// last text written for each of the four fields is kept.
class FixedSix {
 public:
  void append(std::string& out, std::size_t field, double x) {
    // -0.0 is left to to_chars, which writes its sign.
    if (x == std::trunc(x) && std::abs(x) < 0x1p62 && !(x == 0 && std::signbit(x))) {
      char digits[24];
      const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(x));
      out.append(digits, r.ptr);
      out += ".000000";
      return;
    }
    Memo& memo = memo_[field];
    const auto bits = std::bit_cast<std::uint64_t>(x);
    if (memo.size != 0 && memo.bits == bits) {
      out.append(memo.text, memo.size);
      return;
    }
    char text[400];  // the largest double has 309 digits before the point
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed, 6);
    if (r.ec != std::errc()) return;
    const auto size = static_cast<std::size_t>(r.ptr - text);
    out.append(text, size);
    if (size <= sizeof memo.text) {
      std::memcpy(memo.text, text, size);
      memo.size = size;
      memo.bits = bits;
    }
  }

 private:
  struct Memo {
    std::uint64_t bits = 0;
    std::size_t size = 0;  // 0: nothing kept
    char text[32];
  };
  std::array<Memo, 4> memo_;
};

// media|start.value|start.rate|duration.value|duration.rate
void append_exact_key(std::string& out, FixedSix& fixed, const std::string& media, const TimeRange& range) {
  out += media;
  const double numbers[4] = {range.start_time.value, range.start_time.rate, range.duration.value,
                             range.duration.rate};
  for (std::size_t i = 0; i < 4; ++i) {
    out += '|';
    fixed.append(out, i, numbers[i]);
  }
}

// Pass 1: clips with both media and a source range match on media and the
// exact numbers of the range. The key texts of both sides share one buffer;
// entries hold offsets into it until it has stopped growing.
void match_exact(const std::vector<ClipSlot>& before, const std::vector<ClipSlot>& after, Matching& m) {
  std::string text;
  FixedSix fixed;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // offset and size in `text`
  spans.reserve(before.size() + after.size());
  const auto add = [&](const std::vector<ClipSlot>& clips, KeyList& keys) {
    keys.reserve(clips.size());
    for (std::size_t pos = 0; pos < clips.size(); ++pos) {
      const ClipItem& clip = *clips[pos].clip;
      if (!clip.media || !clip.source_range) continue;
      const std::size_t start = text.size();
      append_exact_key(text, fixed, *clip.media, *clip.source_range);
      spans.emplace_back(start, text.size() - start);
      keys.push_back({{}, pos, 0});
    }
  };
  // A key is its media and four numbers of typically 8 to 16 bytes; one
  // reserve saves the regrowth of the buffer in the usual case.
  std::size_t estimate = 0;
  for (const std::vector<ClipSlot>* clips : {&before, &after}) {
    for (const ClipSlot& slot : *clips) estimate += slot.clip->media ? slot.clip->media->size() + 64 : 0;
  }
  text.reserve(estimate);
  KeyList bkeys;
  KeyList akeys;
  add(before, bkeys);
  add(after, akeys);
  std::size_t span = 0;
  for (KeyList* keys : {&bkeys, &akeys}) {
    for (KeyEntry& e : *keys) {
      e.key = std::string_view(text).substr(spans[span].first, spans[span].second);
      ++span;
    }
  }
  match_groups(bkeys, akeys, m);
}

// Pass 2: the clips still unmatched match on "name:" + a non-empty name,
// else on "media:" + the media identity. A clip with neither has no key.
// The keys are views of the clips' own strings.
void match_identity(const std::vector<ClipSlot>& before, const std::vector<ClipSlot>& after, Matching& m) {
  const auto add = [](const std::vector<ClipSlot>& clips, const auto& matched) {
    KeyList keys;
    for (std::size_t pos = 0; pos < clips.size(); ++pos) {
      if (matched(pos)) continue;
      const ClipItem& clip = *clips[pos].clip;
      if (!clip.name.empty()) {
        keys.push_back({clip.name, pos, 1});
      } else if (clip.media) {
        keys.push_back({*clip.media, pos, 0});
      }
    }
    return keys;
  };
  KeyList bkeys = add(before, [&](std::size_t b) { return m.after_of_before[b] != kNone; });
  KeyList akeys = add(after, [&](std::size_t a) { return m.after_matched[a] != 0; });
  match_groups(bkeys, akeys, m);
}

// ---------------------------------------------------------------------------
// Stable set

// A before and an after position: of two paired clips, or two paired tracks.
struct IndexPair {
  std::size_t before;
  std::size_t after;
};

// The after positions of one longest strictly increasing run of after
// positions, taken over the pairs in before order, by patience sorting. The
// binary search and the predecessor links decide which run wins a tie. The
// result is a membership table indexed by after position.
std::vector<char> stable_set(const std::vector<IndexPair>& pairs, std::size_t after_count) {
  const std::size_t n = pairs.size();
  const auto s = [&](std::size_t i) { return pairs[i].after; };
  std::vector<std::size_t> tails;
  std::vector<std::size_t> prev(n, kNone);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t lo = 0;
    std::size_t hi = tails.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (s(tails[mid]) < s(i)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo > 0) prev[i] = tails[lo - 1];
    if (lo == tails.size()) {
      tails.push_back(i);
    } else {
      tails[lo] = i;
    }
  }
  std::vector<char> stable(after_count, 0);
  if (!tails.empty()) {
    for (std::size_t k = tails.back(); k != kNone; k = prev[k]) stable[s(k)] = 1;
  }
  return stable;
}

// ---------------------------------------------------------------------------
// Trims

double seconds(const RationalTime& t) { return t.rate > 0 ? t.value / t.rate : t.value; }

// In frames at a shared rate, in seconds otherwise.
double time_difference(const RationalTime& b, const RationalTime& a) {
  return same_rate(b.rate, a.rate) ? b.value - a.value : seconds(b) - seconds(a);
}

// NaN differences fail the comparisons and so count as trims.
bool is_trimmed(const TimeRange& b, const TimeRange& a) {
  const double start = time_difference(b.start_time, a.start_time);
  const double duration = time_difference(b.duration, a.duration);
  return !(std::abs(start) < kTrimTolerance && std::abs(duration) < kTrimTolerance);
}

// ---------------------------------------------------------------------------
// Track pairing

// Before tracks in index order, with a cursor past the front entries that
// have been paired since; each entry is passed over at most once.
struct Candidates {
  std::vector<std::size_t> indices;
  std::size_t next = 0;

  std::size_t first_unpaired(const std::vector<char>& paired) {
    while (next < indices.size() && paired[indices[next]]) ++next;
    return next < indices.size() ? indices[next] : kNone;
  }
};

constexpr std::size_t kTrackKinds = 3;

std::size_t kind_slot(TrackKind kind) { return static_cast<std::size_t>(kind); }

// Greedy in after order: the first unpaired before track of the same kind
// and equal non-empty name, else the first unpaired one of the same kind.
std::vector<IndexPair> pair_tracks(const TimelineModel& before, const TimelineModel& after,
                                  std::vector<char>& before_paired, std::vector<char>& after_paired) {
  std::array<Candidates, kTrackKinds> by_kind;
  std::array<std::unordered_map<std::string_view, Candidates>, kTrackKinds> by_name;
  for (std::size_t b = 0; b < before.tracks.size(); ++b) {
    const TrackModel& track = before.tracks[b];
    by_kind[kind_slot(track.kind)].indices.push_back(b);
    if (!track.name.empty()) by_name[kind_slot(track.kind)][track.name].indices.push_back(b);
  }
  std::vector<IndexPair> pairs;
  for (std::size_t a = 0; a < after.tracks.size(); ++a) {
    const TrackModel& track = after.tracks[a];
    std::size_t b = kNone;
    if (!track.name.empty()) {
      auto& named = by_name[kind_slot(track.kind)];
      if (auto it = named.find(track.name); it != named.end()) b = it->second.first_unpaired(before_paired);
    }
    if (b == kNone) b = by_kind[kind_slot(track.kind)].first_unpaired(before_paired);
    if (b == kNone) continue;
    before_paired[b] = 1;
    after_paired[a] = 1;
    pairs.push_back({b, a});
  }
  return pairs;
}

}  // namespace

void diff_track_pair(const TrackModel& before, const TrackModel& after, std::vector<ChangeRecord>& out) {
  const std::string& track = after.name.empty() ? before.name : after.name;
  const std::vector<ClipSlot> bclips = clip_list(before);
  const std::vector<ClipSlot> aclips = clip_list(after);

  Matching m{std::vector<std::size_t>(bclips.size(), kNone), std::vector<char>(aclips.size(), 0)};
  match_exact(bclips, aclips, m);
  match_identity(bclips, aclips, m);

  // Every before position pairs at most once, so reading the table in
  // position order is the pairs sorted by before position.
  std::vector<IndexPair> pairs;
  pairs.reserve(std::min(bclips.size(), aclips.size()));
  for (std::size_t b = 0; b < bclips.size(); ++b) {
    if (m.after_of_before[b] != kNone) pairs.push_back({b, m.after_of_before[b]});
  }
  const std::vector<char> stable = stable_set(pairs, aclips.size());

  for (const IndexPair& p : pairs) {
    const ClipItem& bc = *bclips[p.before].clip;
    const ClipItem& ac = *aclips[p.after].clip;
    if (bc.source_range && ac.source_range && is_trimmed(*bc.source_range, *ac.source_range)) {
      out.push_back({change::Trimmed{clip_ref(ac), track, *bc.source_range, *ac.source_range}});
    }
    if (!stable[p.after]) {
      out.push_back({change::Moved{clip_ref(ac), track, p.before, track, p.after, clip_ref_at(aclips, p.after + 1),
                                   p.after > 0 ? clip_ref_at(aclips, p.after - 1) : std::nullopt}});
    }
    if (bc.effect_count != ac.effect_count) {
      out.push_back({change::EffectsChanged{clip_ref(ac), track, bc.effect_count, ac.effect_count}});
    }
    if (bc.media != ac.media) {
      out.push_back({change::Replaced{clip_ref(ac), track, bc.media, ac.media}});
    }
  }

  for (std::size_t b = 0; b < bclips.size(); ++b) {
    if (m.after_of_before[b] == kNone) out.push_back({change::Removed{clip_ref(*bclips[b].clip), track, b}});
  }
  for (std::size_t a = 0; a < aclips.size(); ++a) {
    if (!m.after_matched[a]) out.push_back({change::Added{clip_ref(*aclips[a].clip), track, a}});
  }

  // Transitions count only after paired clips; two transitions are never
  // compared with each other.
  for (const IndexPair& p : pairs) {
    const TransitionItem* tb = following_transition(before, bclips[p.before]);
    const TransitionItem* ta = following_transition(after, aclips[p.after]);
    if (!tb && ta) {
      out.push_back({change::TransitionAdded{track, clip_ref(*aclips[p.after].clip), clip_ref_at(aclips, p.after + 1),
                                             ta->name, ta->duration}});
    } else if (tb && !ta) {
      out.push_back({change::TransitionRemoved{track, clip_ref(*bclips[p.before].clip),
                                               clip_ref_at(bclips, p.before + 1), tb->name}});
    }
  }
}

std::vector<ChangeRecord> diff_timelines(const TimelineModel& before, const TimelineModel& after) {
  std::vector<ChangeRecord> out;
  std::vector<char> before_paired(before.tracks.size(), 0);
  std::vector<char> after_paired(after.tracks.size(), 0);
  for (const IndexPair& p : pair_tracks(before, after, before_paired, after_paired)) {
    diff_track_pair(before.tracks[p.before], after.tracks[p.after], out);
  }
  for (std::size_t b = 0; b < before.tracks.size(); ++b) {
    if (!before_paired[b]) out.push_back({change::TrackRemoved{before.tracks[b].name, before.tracks[b].kind}});
  }
  for (std::size_t a = 0; a < after.tracks.size(); ++a) {
    if (!after_paired[a]) out.push_back({change::TrackAdded{after.tracks[a].name, after.tracks[a].kind}});
  }
  return out;
}

}  // namespace tesmo
