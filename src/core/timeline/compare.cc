// The comparison engine's pairing: tracks by kind, content and name in
// order; clips of each track pair in four passes; transitions by the clips
// around them. Then the edits each pair and each unpaired item make.
//
// Clips pair in this order, each pass taking only clips still unpaired:
//  1. equal keys (media, or the name for a clip without media, and the exact
//     source range), the way patience diff pairs lines: keys unique on both
//     sides of a region anchor it, the anchors that keep their order split
//     it, and each part is done again; runs of equal keys at a region's ends
//     pair directly;
//  2. within each region between two paired clips, the clips most alike:
//     same media with overlapping source, same media, same name and range;
//     a region left with one clip on each side pairs them (the clip in that
//     slot was replaced);
//  3. across the whole track, clips that moved and changed: equal keys, or
//     the same media over most of the same source;
//  4. across tracks of the same kind, equal keys: clips moved to another
//     track.
// Paired clips outside the longest run that kept its order are moved.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/timeline/compare.h"

namespace tesmo {
namespace {

// ---------------------------------------------------------------------------
// Keys

// The shortest text that reads back as the same double.
void append_number(std::string& out, double x) {
  char text[32];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, x);
  if (r.ec == std::errc()) out.append(text, r.ptr);
}

double seconds(const RationalTime& t) { return t.rate > 0 ? t.value / t.rate : t.value; }

// The share of the shorter range that both cover, from 0 to 1.
double overlap(const TimeRange& a, const TimeRange& b) {
  const double a0 = seconds(a.start_time), a1 = a0 + seconds(a.duration);
  const double b0 = seconds(b.start_time), b1 = b0 + seconds(b.duration);
  const double shorter = std::min(a1 - a0, b1 - b0);
  const double shared = std::min(a1, b1) - std::max(a0, b0);
  if (!(shorter > 0) || !(shared > 0)) return 0.0;
  return std::min(1.0, shared / shorter);
}

bool same_time(const RationalTime& a, const RationalTime& b) {
  if (same_rate(a.rate, b.rate)) return std::abs(a.value - b.value) < 1e-6;
  return std::abs(seconds(a) - seconds(b)) < 1e-9;
}

bool same_range(const std::optional<TimeRange>& a, const std::optional<TimeRange>& b) {
  if (!a || !b) return !a && !b;
  return same_time(a->start_time, b->start_time) && same_time(a->duration, b->duration);
}

// How alike two clips are, for pairing the clips left after equal keys; 0
// for clips with nothing in common.
double affinity(const CutClip& b, const CutClip& a) {
  const bool media = b.media && a.media && *b.media == *a.media;
  const bool name = !b.name.empty() && b.name == a.name;
  const bool range = b.source_range && a.source_range && same_range(b.source_range, a.source_range);
  // Alike in name, and in effects, speed, markers and metadata, tell apart
  // clips of one source.
  const double bonus = (name ? 5.0 : 0.0) + (b.extras == a.extras ? 5.0 : 0.0);
  if (media) {
    if (range) return 100.0 + bonus;
    if (b.source_range && a.source_range) {
      const double shared = overlap(*b.source_range, *a.source_range);
      if (shared > 0) return 80.0 + 10.0 * shared + bonus;
      if (same_time(b.source_range->duration, a.source_range->duration)) return 60.0 + bonus;
    }
    return 40.0 + bonus;
  }
  if (name && range) return 70.0;
  if (name) return 20.0;
  if (range) return 15.0;
  return 0.0;
}

// ---------------------------------------------------------------------------
// Longest run that keeps its order

struct IndexPair {
  std::size_t before;
  std::size_t after;
};

// The indices into `pairs` (given in ascending `before`) of one longest
// strictly increasing run of `after`, in order; patience sorting.
std::vector<std::size_t> increasing_run(const std::vector<IndexPair>& pairs) {
  std::vector<std::size_t> tails;
  std::vector<std::size_t> prev(pairs.size(), kNoIndex);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::size_t lo = 0, hi = tails.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (pairs[tails[mid]].after < pairs[i].after) {
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
  std::vector<std::size_t> run;
  if (!tails.empty()) {
    for (std::size_t k = tails.back(); k != kNoIndex; k = prev[k]) run.push_back(k);
  }
  std::reverse(run.begin(), run.end());
  return run;
}

// Two clips that trade places leave two runs of equal length, one keeping
// each. A move that reads "position 12 -> 12" says nothing, so where the run
// keeps a neighbour and leaves out a clip whose position number did not
// change, the two change roles when the run stays increasing.
void prefer_visible_moves(const std::vector<IndexPair>& pairs, std::vector<std::size_t>& run) {
  std::vector<char> in_run(pairs.size(), 0);
  for (std::size_t k : run) in_run[k] = 1;
  for (std::size_t m = 0; m < pairs.size(); ++m) {
    if (in_run[m] || pairs[m].before != pairs[m].after) continue;
    // run holds indices into pairs, ascending, so ascending in before.
    const auto at = std::lower_bound(run.begin(), run.end(), m);
    for (auto s : {at - (at != run.begin() ? 1 : 0), at}) {
      if (s == run.end()) continue;
      const std::size_t k = *s;
      if (pairs[k].before == pairs[k].after) continue;
      const std::size_t lower = s == run.begin() ? kNoIndex : *(s - 1);
      const std::size_t upper = s + 1 == run.end() ? kNoIndex : *(s + 1);
      const auto fits = [&](std::size_t neighbour, bool below) {
        if (neighbour == kNoIndex) return true;
        return below ? (neighbour < m && pairs[neighbour].after < pairs[m].after)
                     : (neighbour > m && pairs[neighbour].after > pairs[m].after);
      };
      if (fits(lower, true) && fits(upper, false)) {
        in_run[k] = 0;
        in_run[m] = 1;
        *s = m;
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Clip pairing within one track pair

struct Region {
  std::size_t b0, b1, a0, a1;  // half-open ranges of clip positions
};

class TrackPairing {
 public:
  TrackPairing(const CutTrack& before, const CutTrack& after)
      : before_(before), after_(after), bkeys_(keys(before)), akeys_(keys(after)),
        after_of_(before.clips.size(), kNoIndex), before_of_(after.clips.size(), kNoIndex) {
    // Subdividing regions costs a pass over each; a budget keeps a hostile
    // track (every clip anchoring one level deeper) near linear.
    budget_ = 64 * (before.clips.size() + after.clips.size()) + 100000;
  }

  void run() {
    // Equal keys in three passes, each within the regions the one before
    // left: the same content at the same record time (the clips an edit
    // elsewhere did not touch), the same content, the same source.
    const std::vector<std::string> btimed = contents(before_, true), atimed = contents(after_, true);
    const std::vector<std::string> bfull = contents(before_, false), afull = contents(after_, false);
    pair_equal_keys(views(btimed), views(atimed));
    pair_equal_keys(views(bfull), views(afull));
    pair_equal_keys(bkeys_, akeys_);
    pair_within_regions();
    pair_across_track();
  }

  std::vector<std::size_t>& after_of() { return after_of_; }
  std::vector<std::size_t>& before_of() { return before_of_; }
  const std::vector<std::string_view>& before_keys() const { return bkeys_; }
  const std::vector<std::string_view>& after_keys() const { return akeys_; }

 private:
  // A clip's key with everything else it carries, and with its record time
  // when `timed`: equal only for clips alike in every respect.
  static std::vector<std::string> contents(const CutTrack& track, bool timed) {
    std::vector<std::string> out;
    out.reserve(track.clips.size());
    for (const CutClip& clip : track.clips) {
      std::string text = clip.key;
      for (std::string_view part : {std::string_view(clip.name), clip.effects_text.view(), clip.markers_text.view(),
                                    clip.metadata_text.view()}) {
        text += '\x1f';
        text += std::to_string(part.size());
        text += ':';
        text += part;
      }
      text += clip.enabled ? "|on|" : "|off|";
      append_number(text, clip.speed);
      if (timed) {
        text += '@';
        if (clip.record_in) {
          append_number(text, clip.record_in->value);
          text += '/';
          append_number(text, clip.record_in->rate);
        }
      }
      out.push_back(std::move(text));
    }
    return out;
  }
  static std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return std::vector<std::string_view>(texts.begin(), texts.end());
  }

  static std::vector<std::string_view> keys(const CutTrack& track) {
    std::vector<std::string_view> out;
    out.reserve(track.clips.size());
    for (const CutClip& clip : track.clips) out.push_back(clip.key);
    return out;
  }

  void pair(std::size_t b, std::size_t a) {
    after_of_[b] = a;
    before_of_[a] = b;
  }

  // Patience pairing on equal keys within each region between the clips
  // paired so far.
  void pair_equal_keys(const std::vector<std::string_view>& bkeys, const std::vector<std::string_view>& akeys) {
    const auto equal = [&](std::size_t b, std::size_t a) { return bkeys[b] == akeys[a]; };
    std::vector<Region> todo = regions();
    std::unordered_map<std::string_view, std::pair<std::size_t, std::size_t>> counts;  // before, after
    while (!todo.empty()) {
      Region r = todo.back();
      todo.pop_back();
      while (r.b0 < r.b1 && r.a0 < r.a1 && equal(r.b0, r.a0)) pair(r.b0++, r.a0++);
      while (r.b0 < r.b1 && r.a0 < r.a1 && equal(r.b1 - 1, r.a1 - 1)) pair(--r.b1, --r.a1);
      if (r.b0 == r.b1 || r.a0 == r.a1) continue;
      const std::size_t cost = (r.b1 - r.b0) + (r.a1 - r.a0);
      if (cost > budget_) continue;
      budget_ -= cost;

      counts.clear();
      for (std::size_t b = r.b0; b < r.b1; ++b) {
        if (!bkeys[b].empty()) ++counts[bkeys[b]].first;
      }
      std::unordered_map<std::string_view, std::size_t> after_at;
      for (std::size_t a = r.a0; a < r.a1; ++a) {
        if (akeys[a].empty()) continue;
        auto it = counts.find(akeys[a]);
        if (it == counts.end()) continue;
        ++it->second.second;
        after_at[akeys[a]] = a;
      }
      std::vector<IndexPair> unique;
      for (std::size_t b = r.b0; b < r.b1; ++b) {
        if (bkeys[b].empty()) continue;
        const auto& c = counts[bkeys[b]];
        if (c.first == 1 && c.second == 1) unique.push_back({b, after_at[bkeys[b]]});
      }
      if (unique.empty()) continue;
      std::size_t b_from = r.b0, a_from = r.a0;
      for (std::size_t k : increasing_run(unique)) {
        const IndexPair& p = unique[k];
        pair(p.before, p.after);
        todo.push_back({b_from, p.before, a_from, p.after});
        b_from = p.before + 1;
        a_from = p.after + 1;
      }
      todo.push_back({b_from, r.b1, a_from, r.a1});
    }
  }

  // The regions between clips paired so far, in order (the pairs of pass 1
  // never cross).
  std::vector<Region> regions() const {
    std::vector<Region> out;
    std::size_t b_from = 0, a_from = 0;
    for (std::size_t b = 0; b <= before_.clips.size(); ++b) {
      const bool end = b == before_.clips.size();
      if (!end && after_of_[b] == kNoIndex) continue;
      const std::size_t a = end ? after_.clips.size() : after_of_[b];
      if (a < a_from) continue;  // pairs made in regions never cross; kept safe
      if (b > b_from && a > a_from) out.push_back({b_from, b, a_from, a});
      b_from = b + 1;
      a_from = a + 1;
    }
    return out;
  }

  struct Candidate {
    double score;
    double distance;
    std::size_t b, a;
  };

  // Greedy: the most alike first, then the nearest in relative position.
  void pair_greedily(std::vector<Candidate>& candidates) {
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& x, const Candidate& y) {
      if (x.score != y.score) return x.score > y.score;
      if (x.distance != y.distance) return x.distance < y.distance;
      return x.b != y.b ? x.b < y.b : x.a < y.a;
    });
    for (const Candidate& c : candidates) {
      if (after_of_[c.b] == kNoIndex && before_of_[c.a] == kNoIndex) pair(c.b, c.a);
    }
  }

  // Regions larger than this look at candidates through shared media and
  // names only, instead of every pair.
  static constexpr std::size_t kDenseRegion = 4096;

  void pair_within_regions() {
    for (const Region& r : regions()) {
      const std::size_t nb = r.b1 - r.b0, na = r.a1 - r.a0;
      std::vector<Candidate> candidates;
      const auto consider = [&](std::size_t b, std::size_t a) {
        const double score = affinity(before_.clips[b], after_.clips[a]);
        if (score <= 0) return;
        const double rb = nb > 1 ? double(b - r.b0) / double(nb - 1) : 0.5;
        const double ra = na > 1 ? double(a - r.a0) / double(na - 1) : 0.5;
        candidates.push_back({score, std::abs(rb - ra), b, a});
      };
      if (nb * na <= kDenseRegion * 4) {
        for (std::size_t b = r.b0; b < r.b1; ++b) {
          for (std::size_t a = r.a0; a < r.a1; ++a) consider(b, a);
        }
      } else {
        sparse_candidates(r, consider);
      }
      pair_greedily(candidates);
    }
  }

  template <class F>
  void sparse_candidates(const Region& r, F&& consider) {
    std::unordered_map<std::string_view, std::vector<std::size_t>> by_media, by_name;
    for (std::size_t a = r.a0; a < r.a1; ++a) {
      const CutClip& clip = after_.clips[a];
      if (clip.media) by_media[*clip.media].push_back(a);
      if (!clip.name.empty()) by_name[clip.name].push_back(a);
    }
    constexpr std::size_t kPerBucket = 16;
    for (std::size_t b = r.b0; b < r.b1; ++b) {
      const CutClip& clip = before_.clips[b];
      for (auto* bucket : {clip.media ? &by_media : nullptr, clip.name.empty() ? nullptr : &by_name}) {
        if (!bucket) continue;
        auto it = bucket->find(bucket == &by_media ? std::string_view(*clip.media) : std::string_view(clip.name));
        if (it == bucket->end()) continue;
        // The candidates nearest in position.
        const std::vector<std::size_t>& list = it->second;
        const double want = double(r.a0) + double(b - r.b0) * double(r.a1 - r.a0) / double(r.b1 - r.b0);
        auto mid = std::lower_bound(list.begin(), list.end(), static_cast<std::size_t>(want));
        auto lo = mid - std::min<std::ptrdiff_t>(mid - list.begin(), kPerBucket / 2);
        auto hi = mid + std::min<std::ptrdiff_t>(list.end() - mid, kPerBucket / 2);
        for (auto p = lo; p != hi; ++p) consider(b, *p);
      }
    }
  }

  // Clips that moved, possibly changed on the way: equal keys anywhere in
  // the track (in order within each key), then the same media over most of
  // the same source.
  void pair_across_track() {
    std::unordered_map<std::string_view, std::vector<std::size_t>> after_by_key, after_by_media;
    for (std::size_t a = 0; a < after_.clips.size(); ++a) {
      if (before_of_[a] != kNoIndex) continue;
      if (!akeys_[a].empty()) after_by_key[akeys_[a]].push_back(a);
      if (after_.clips[a].media) after_by_media[*after_.clips[a].media].push_back(a);
    }
    std::unordered_map<std::string_view, std::size_t> taken;
    for (std::size_t b = 0; b < before_.clips.size(); ++b) {
      if (after_of_[b] != kNoIndex || bkeys_[b].empty()) continue;
      auto it = after_by_key.find(bkeys_[b]);
      if (it == after_by_key.end()) continue;
      std::size_t& next = taken[bkeys_[b]];
      while (next < it->second.size() && before_of_[it->second[next]] != kNoIndex) ++next;
      if (next < it->second.size()) pair(b, it->second[next++]);
    }
    // Then clips alike enough to be one clip wherever they are: the same
    // media over most of the same source (trimmed or slipped on the way),
    // or the same name over the same source (relinked on the way).
    std::unordered_map<std::string_view, std::vector<std::size_t>> after_by_name;
    for (std::size_t a = 0; a < after_.clips.size(); ++a) {
      if (before_of_[a] == kNoIndex && !after_.clips[a].name.empty()) after_by_name[after_.clips[a].name].push_back(a);
    }
    std::vector<Candidate> candidates;
    for (std::size_t b = 0; b < before_.clips.size(); ++b) {
      const CutClip& clip = before_.clips[b];
      if (after_of_[b] != kNoIndex || !clip.source_range) continue;
      const auto consider = [&](const std::vector<std::size_t>& bucket) {
        // A name or media shared by very many clips tells nothing apart.
        if (bucket.size() > 64) return;
        for (std::size_t a : bucket) {
          const CutClip& other = after_.clips[a];
          if (before_of_[a] != kNoIndex || !other.source_range) continue;
          if (!clip.name.empty() && !other.name.empty() && clip.name != other.name) continue;
          const double score = affinity(clip, other);
          const bool same_media = clip.media && other.media && *clip.media == *other.media;
          if (same_media ? overlap(*clip.source_range, *other.source_range) < 0.5 : score < 70.0) continue;
          candidates.push_back({score, std::abs(double(b) - double(a)), b, a});
        }
      };
      if (clip.media) {
        if (auto it = after_by_media.find(*clip.media); it != after_by_media.end()) consider(it->second);
      }
      if (!clip.name.empty()) {
        if (auto it = after_by_name.find(clip.name); it != after_by_name.end()) consider(it->second);
      }
    }
    pair_greedily(candidates);
  }

  const CutTrack& before_;
  const CutTrack& after_;
  std::vector<std::string_view> bkeys_, akeys_;
  std::vector<std::size_t> after_of_, before_of_;
  std::size_t budget_;
};

// ---------------------------------------------------------------------------
// Track pairing

// Shared clip keys between every before and after track of one kind.
// Clips every before track of one kind shares with every after track:
// clips of equal keys, and among them those alike in all else too.
// [0] counts clips of equal keys, [1] those alike in all else too.
std::array<std::vector<std::vector<double>>, 2> shared_clips(const Cut& before, const Cut& after,
                                                             const std::vector<std::size_t>& bs,
                                                             const std::vector<std::size_t>& as) {
  std::array<std::vector<std::vector<double>>, 2> shared;
  shared.fill(std::vector<std::vector<double>>(bs.size(), std::vector<double>(as.size(), 0.0)));
  // Clip keys, and keys with the hash of the rest.
  using Key = std::pair<std::string_view, std::uint64_t>;
  struct KeyHash {
    std::size_t operator()(const Key& k) const { return std::hash<std::string_view>()(k.first) ^ k.second; }
  };
  for (bool full : {false, true}) {
    std::unordered_map<Key, std::vector<std::pair<std::size_t, std::size_t>>, KeyHash> where;  // key -> (i, count)
    std::unordered_map<Key, std::size_t, KeyHash> counts;
    const auto key = [&](const CutClip& clip) { return Key{clip.key, full ? clip.extras : 0}; };
    for (std::size_t i = 0; i < bs.size(); ++i) {
      counts.clear();
      for (const CutClip& clip : before.tracks[bs[i]].clips) ++counts[key(clip)];
      for (auto& [k, count] : counts) where[k].push_back({i, count});
    }
    for (std::size_t j = 0; j < as.size(); ++j) {
      counts.clear();
      for (const CutClip& clip : after.tracks[as[j]].clips) ++counts[key(clip)];
      for (const auto& [k, count] : counts) {
        auto it = where.find(k);
        if (it == where.end()) continue;
        for (const auto& [i, n] : it->second) shared[full][i][j] += double(std::min(n, count));
      }
    }
  }
  return shared;
}

// Pairs the tracks of one kind in order, maximizing what paired tracks
// share: clips with equal keys above all, then equal names; any pair
// counts for a little, so tracks pair by position when nothing else
// decides.
void pair_kind(const Cut& before, const Cut& after, const std::vector<std::size_t>& bs,
               const std::vector<std::size_t>& as, Comparison& out) {
  const std::size_t n = bs.size(), m = as.size();
  if (n == 0 || m == 0) return;
  const auto link = [&](std::size_t i, std::size_t j) {
    out.track_after_of_before[bs[i]] = as[j];
    out.track_before_of_after[as[j]] = bs[i];
  };
  // Thousands of tracks do not occur in real timelines; they pair by
  // position, which costs nothing.
  if (n * m > 250000) {
    for (std::size_t k = 0; k < std::min(n, m); ++k) link(k, k);
    return;
  }
  const std::array<std::vector<std::vector<double>>, 2> shared = shared_clips(before, after, bs, as);
  const auto weight = [&](std::size_t i, std::size_t j) {
    const std::string& bn = before.tracks[bs[i]].name;
    const std::string& an = after.tracks[as[j]].name;
    // Equal names count, an unnamed track facing an unnamed one a little;
    // between pairings that tie, the one keeping positions wins.
    const double names = bn == an ? (bn.empty() ? 1.0 : 2.0) : 0.0;
    const double distance = i > j ? double(i - j) : double(j - i);
    // Two empty tracks are as alike as tracks get.
    const bool both_empty = before.tracks[bs[i]].clips.empty() && after.tracks[as[j]].clips.empty();
    // Clips one track has and the other lacks count a little against them.
    const CutTrack& bt = before.tracks[bs[i]];
    const CutTrack& at = after.tracks[as[j]];
    // Both stay small beside the 1 every pair is worth, so that any two
    // tracks of a kind still pair rather than read as removed and added.
    const double total = double(bt.clips.size() + at.clips.size());
    const double unshared = total > 0 ? (total - 2.0 * shared[0][i][j]) / total : 0.0;
    const double metadata = bt.metadata_text == at.metadata_text ? 1.5 : 0.0;
    return 2.0 * (shared[0][i][j] + shared[1][i][j]) + names + metadata + (both_empty ? 2.0 : 0.0) + 1.0 -
           0.4 * unshared - 0.1 * distance / double(n + m);
  };
  std::vector<double> dp((n + 1) * (m + 1), 0.0);
  const auto at = [&](std::size_t i, std::size_t j) -> double& { return dp[i * (m + 1) + j]; };
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      at(i, j) = std::max({at(i - 1, j), at(i, j - 1), at(i - 1, j - 1) + weight(i - 1, j - 1)});
    }
  }
  for (std::size_t i = n, j = m; i > 0 && j > 0;) {
    if (at(i, j) == at(i - 1, j - 1) + weight(i - 1, j - 1)) {
      link(i - 1, j - 1);
      --i, --j;
    } else if (at(i, j) == at(i - 1, j)) {
      --i;
    } else {
      --j;
    }
  }
}

// ---------------------------------------------------------------------------
// Edits

bool same_transition(const CutTransition& a, const CutTransition& b) {
  const auto same_offset = [](const std::optional<RationalTime>& x, const std::optional<RationalTime>& y) {
    if (!x || !y) return !x && !y;
    return same_time(*x, *y);
  };
  return a.name == b.name && a.transition_type == b.transition_type && same_offset(a.in_offset, b.in_offset) &&
         same_offset(a.out_offset, b.out_offset);
}

// An edit with the key that orders it within its track.
struct Placed {
  std::size_t track_order;
  std::size_t position;  // 0 for track records; 2k+1 for clip k, 2k for cut k
  std::size_t rank;      // op order among the edits of one clip
  Edit edit;
};

void clip_edits(const CutClip& b, const CutClip& a, Edit base, std::size_t order, std::size_t position,
                std::vector<Placed>& out) {
  const auto add = [&](EditOp op) {
    Edit e = base;
    e.op = op;
    out.push_back({order, position, static_cast<std::size_t>(op) + 1, e});
  };
  if (b.source_range && a.source_range && !same_range(b.source_range, a.source_range)) {
    add(same_time(b.source_range->duration, a.source_range->duration) ? EditOp::Slipped : EditOp::Trimmed);
  } else if (b.source_range.has_value() != a.source_range.has_value()) {
    add(EditOp::Trimmed);
  }
  if (b.media != a.media) add(EditOp::Replaced);
  if (b.name != a.name) add(EditOp::Renamed);
  if (b.effects_text != a.effects_text) add(EditOp::EffectsChanged);
  // Speeds written back through an exchange format keep about nine digits.
  const bool same_speed = b.speed == a.speed || std::abs(b.speed - a.speed) <= 1e-9 * std::abs(b.speed) ||
                          (std::isnan(b.speed) && std::isnan(a.speed));
  if (!same_speed) add(EditOp::Retimed);
  if (b.enabled != a.enabled) add(EditOp::EnabledChanged);
  if (b.markers_text != a.markers_text) add(EditOp::MarkersChanged);
  // Texts differ rarely; only then are they read to see whether anything
  // but element ids changed.
  if (b.metadata_text != a.metadata_text &&
      !(comparable_metadata(b.metadata_text.view()) == comparable_metadata(a.metadata_text.view()))) {
    add(EditOp::MetadataChanged);
  }
}

void transition_edits(const Cut& before, const Cut& after, std::size_t bt, std::size_t at, std::size_t order,
                      const Comparison& c, std::vector<Placed>& out) {
  const CutTrack& btrack = before.tracks[bt];
  const CutTrack& atrack = after.tracks[at];
  // A before transition at cut k sits between clips k-1 and k; it is the
  // same transition as an after transition whose clip on either side is
  // the pair of its own.
  std::vector<char> after_used(atrack.transitions.size(), 0);
  // Transitions are in cut order, so those of one cut are adjacent.
  const auto unused_at_cut = [&](std::size_t cut) {
    auto it = std::lower_bound(atrack.transitions.begin(), atrack.transitions.end(), cut,
                               [](const CutTransition& t, std::size_t k) { return t.cut < k; });
    for (; it != atrack.transitions.end() && it->cut == cut; ++it) {
      const auto t = static_cast<std::size_t>(it - atrack.transitions.begin());
      if (!after_used[t]) return t;
    }
    return kNoIndex;
  };
  const auto same_track = [&](const ClipSpot& spot) { return spot && spot.track == at; };
  for (const CutTransition& tb : btrack.transitions) {
    std::size_t found = kNoIndex;
    const std::size_t k = tb.cut;
    if (k > 0 && same_track(c.clip_after_of_before[bt][k - 1])) {
      found = unused_at_cut(c.clip_after_of_before[bt][k - 1].clip + 1);
    }
    if (found == kNoIndex && k < btrack.clips.size() && same_track(c.clip_after_of_before[bt][k])) {
      found = unused_at_cut(c.clip_after_of_before[bt][k].clip);
    }
    if (found == kNoIndex && btrack.clips.empty()) found = unused_at_cut(0);
    Edit e{EditOp::TransitionRemoved, bt, at, k, kNoIndex};
    if (found == kNoIndex) {
      // Placed where the cut would be on the after side.
      std::size_t cut = 0;
      for (std::size_t x = k; x-- > 0;) {
        if (same_track(c.clip_after_of_before[bt][x])) {
          cut = c.clip_after_of_before[bt][x].clip + 1;
          break;
        }
      }
      out.push_back({order, 2 * cut, 0, e});
      continue;
    }
    after_used[found] = 1;
    const CutTransition& ta = atrack.transitions[found];
    if (!same_transition(tb, ta)) {
      e.op = EditOp::TransitionChanged;
      e.after_index = ta.cut;
      out.push_back({order, 2 * ta.cut, 0, e});
    }
  }
  for (std::size_t t = 0; t < atrack.transitions.size(); ++t) {
    if (after_used[t]) continue;
    const std::size_t cut = atrack.transitions[t].cut;
    out.push_back({order, 2 * cut, 0, Edit{EditOp::TransitionAdded, bt, at, kNoIndex, cut}});
  }
}

}  // namespace

std::string_view edit_op_name(EditOp op) {
  static constexpr std::string_view kNames[kEditOpCount] = {
      "trimmed",          "slipped",          "moved",           "added",
      "removed",          "replaced",         "effects_changed", "retimed",
      "renamed",          "enabled_changed",  "markers_changed", "metadata_changed",
      "transition_added", "transition_removed", "transition_changed", "track_added",
      "track_removed",    "track_renamed",
  };
  return kNames[static_cast<std::size_t>(op)];
}

Comparison compare_cuts(const Cut& before, const Cut& after) {
  Comparison c;
  c.track_after_of_before.assign(before.tracks.size(), kNoIndex);
  c.track_before_of_after.assign(after.tracks.size(), kNoIndex);
  for (TrackKind kind : {TrackKind::Video, TrackKind::Audio, TrackKind::Other}) {
    std::vector<std::size_t> bs, as;
    for (std::size_t i = 0; i < before.tracks.size(); ++i) {
      if (before.tracks[i].kind == kind) bs.push_back(i);
    }
    for (std::size_t j = 0; j < after.tracks.size(); ++j) {
      if (after.tracks[j].kind == kind) as.push_back(j);
    }
    pair_kind(before, after, bs, as, c);
  }

  c.clip_after_of_before.resize(before.tracks.size());
  c.clip_before_of_after.resize(after.tracks.size());
  for (std::size_t i = 0; i < before.tracks.size(); ++i) {
    c.clip_after_of_before[i].assign(before.tracks[i].clips.size(), ClipSpot{});
  }
  for (std::size_t j = 0; j < after.tracks.size(); ++j) {
    c.clip_before_of_after[j].assign(after.tracks[j].clips.size(), ClipSpot{});
  }
  // Keys of the clips each track pair left unpaired, for moves across tracks.
  struct Leftover {
    std::size_t track, clip;
  };
  std::unordered_map<std::string_view, std::vector<Leftover>> removed_by_key[3];
  std::vector<std::pair<std::string_view, Leftover>> added_keys[3];
  // Clips of tracks only one side has may have moved there from a track
  // both have, or from there to one.
  for (std::size_t bt = 0; bt < before.tracks.size(); ++bt) {
    if (c.track_after_of_before[bt] != kNoIndex) continue;
    const std::size_t kind = static_cast<std::size_t>(before.tracks[bt].kind);
    for (std::size_t b = 0; b < before.tracks[bt].clips.size(); ++b) {
      removed_by_key[kind][before.tracks[bt].clips[b].key].push_back({bt, b});
    }
  }
  for (std::size_t at = 0; at < after.tracks.size(); ++at) {
    if (c.track_before_of_after[at] != kNoIndex) continue;
    const std::size_t kind = static_cast<std::size_t>(after.tracks[at].kind);
    for (std::size_t a = 0; a < after.tracks[at].clips.size(); ++a) {
      added_keys[kind].emplace_back(after.tracks[at].clips[a].key, Leftover{at, a});
    }
  }
  for (std::size_t bt = 0; bt < before.tracks.size(); ++bt) {
    const std::size_t at = c.track_after_of_before[bt];
    if (at == kNoIndex) continue;
    TrackPairing pairing(before.tracks[bt], after.tracks[at]);
    pairing.run();
    const std::size_t kind = static_cast<std::size_t>(before.tracks[bt].kind);
    for (std::size_t b = 0; b < pairing.after_of().size(); ++b) {
      const std::size_t a = pairing.after_of()[b];
      if (a != kNoIndex) {
        c.clip_after_of_before[bt][b] = {at, a};
        c.clip_before_of_after[at][a] = {bt, b};
      } else if (!pairing.before_keys()[b].empty()) {
        removed_by_key[kind][pairing.before_keys()[b]].push_back({bt, b});
      }
    }
    for (std::size_t a = 0; a < pairing.before_of().size(); ++a) {
      if (pairing.before_of()[a] == kNoIndex && !pairing.after_keys()[a].empty()) {
        added_keys[kind].emplace_back(pairing.after_keys()[a], Leftover{at, a});
      }
    }
  }
  // Clips that moved to another track of their kind, with equal keys.
  for (std::size_t kind = 0; kind < 3; ++kind) {
    std::unordered_map<std::string_view, std::size_t> used;
    for (const auto& [key, spot] : added_keys[kind]) {
      auto it = removed_by_key[kind].find(key);
      if (it == removed_by_key[kind].end()) continue;
      std::size_t& next = used[key];
      if (next >= it->second.size()) continue;
      const Leftover from = it->second[next++];
      c.clip_after_of_before[from.track][from.clip] = {spot.track, spot.clip};
      c.clip_before_of_after[spot.track][spot.clip] = {from.track, from.clip};
    }
  }

  // Edits, track by track in after order, then tracks only in the before cut.
  std::vector<Placed> placed;
  const std::size_t after_count = after.tracks.size();
  for (std::size_t at = 0; at < after_count; ++at) {
    const std::size_t bt = c.track_before_of_after[at];
    if (bt == kNoIndex) {
      placed.push_back({at, 0, 0, Edit{EditOp::TrackAdded, kNoIndex, at, kNoIndex, kNoIndex}});
      // The new track's own clips are part of adding it; clips that came
      // from another track moved.
      const std::vector<ClipSpot>& before_of = c.clip_before_of_after[at];
      for (std::size_t a = 0; a < before_of.size(); ++a) {
        const ClipSpot from = before_of[a];
        if (!from) continue;
        const Edit base{EditOp::Moved, from.track, at, from.clip, a};
        placed.push_back({at, 2 * a + 1, 0, base});
        clip_edits(before.tracks[from.track].clips[from.clip], after.tracks[at].clips[a], base, at, 2 * a + 1,
                   placed);
      }
      continue;
    }
    if (before.tracks[bt].name != after.tracks[at].name) {
      placed.push_back({at, 0, 0, Edit{EditOp::TrackRenamed, bt, at, kNoIndex, kNoIndex}});
    }
    const std::vector<ClipSpot>& after_of = c.clip_after_of_before[bt];
    const std::vector<ClipSpot>& before_of = c.clip_before_of_after[at];
    // Pairs within the track, for the run that kept its order.
    std::vector<IndexPair> pairs;
    for (std::size_t b = 0; b < after_of.size(); ++b) {
      if (after_of[b] && after_of[b].track == at) pairs.push_back({b, after_of[b].clip});
    }
    std::vector<char> stable(after.tracks[at].clips.size(), 0);
    std::vector<std::size_t> run = increasing_run(pairs);
    prefer_visible_moves(pairs, run);
    for (std::size_t k : run) stable[pairs[k].after] = 1;

    for (std::size_t a = 0; a < before_of.size(); ++a) {
      const ClipSpot from = before_of[a];
      const std::size_t position = 2 * a + 1;
      if (!from) {
        placed.push_back({at, position, 0, Edit{EditOp::Added, bt, at, kNoIndex, a}});
        continue;
      }
      Edit base{EditOp::Moved, from.track, at, from.clip, a};
      if (from.track != bt || !stable[a]) placed.push_back({at, position, 0, base});
      clip_edits(before.tracks[from.track].clips[from.clip], after.tracks[at].clips[a], base, at, position,
                 placed);
    }
    // Removed clips, where they would have been on the after side.
    std::size_t insertion = 0;
    for (std::size_t b = 0; b < after_of.size(); ++b) {
      if (after_of[b]) {
        if (after_of[b].track == at && stable[after_of[b].clip]) insertion = after_of[b].clip + 1;
        continue;
      }
      placed.push_back({at, 2 * insertion, 1, Edit{EditOp::Removed, bt, at, b, kNoIndex}});
    }
    transition_edits(before, after, bt, at, at, c, placed);
  }
  for (std::size_t bt = 0; bt < before.tracks.size(); ++bt) {
    if (c.track_after_of_before[bt] != kNoIndex) continue;
    placed.push_back({after_count + bt, 0, 0, Edit{EditOp::TrackRemoved, bt, kNoIndex, kNoIndex, kNoIndex}});
  }
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& x, const Placed& y) {
    if (x.track_order != y.track_order) return x.track_order < y.track_order;
    if (x.position != y.position) return x.position < y.position;
    return x.rank < y.rank;
  });
  c.edits.reserve(placed.size());
  for (const Placed& p : placed) c.edits.push_back(p.edit);
  return c;
}

}  // namespace tesmo
