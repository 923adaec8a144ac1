// The three-way merge. Base is compared with ours and with theirs; each
// track both sides kept is then merged as a sequence of clips:
//
//  - A clip of base is one token on all three sides; a clip that only one
//    side has is a token of that side. A base clip removed by one side and
//    changed by the other is a conflict.
//  - The base clips that neither side moved keep base's order. Every other
//    token goes right after the token before it on the side that put it
//    there (the side that added it, or the one side that moved it), walking
//    the favored side first. Two sides putting different tokens at one
//    place, or moving one clip to two places, is a conflict.
//  - Each clip's members merge one by one: a member one side changed takes
//    that side's value; both changing it differently is a conflict, except
//    source ranges, whose two edges merge apart.
//  - What lies between two clips (gaps, transitions, nested compositions)
//    belongs to that cut, keyed by the tokens on either side, and merges as
//    one value. A transition that one side changed at a cut the other side
//    took apart is a conflict.
//
// Tracks, the stack and the timeline merge member by member as well, and a
// track one side removed while the other changed it is a conflict.

#include "core/timeline/merge.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/timeline/cut.h"

namespace tesmo {
namespace {

// --- Values -------------------------------------------------------------------

const JsonObject* object_of(const JsonValue* v) { return v ? v->get_object() : nullptr; }

bool same(const JsonValue* a, const JsonValue* b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}

JsonValue copy_or_null(const JsonValue* v) { return v ? *v : JsonValue(); }

// The three-way choice of one value: the side that changed it, or either
// when they agree; nullopt when both changed it differently.
std::optional<const JsonValue*> choose(const JsonValue* b, const JsonValue* o, const JsonValue* t) {
  if (same(o, t)) return o;
  if (same(o, b)) return t;
  if (same(t, b)) return o;
  return std::nullopt;
}

const JsonValue* member(const JsonValue* v, std::string_view key) {
  const JsonObject* o = object_of(v);
  return o ? o->find(key) : nullptr;
}

const JsonArray* children_of(const JsonValue* container) {
  const JsonValue* children = member(container, "children");
  return children ? children->get_array() : nullptr;
}

bool has_transition(const JsonValue* items) {
  const JsonArray* list = items ? items->get_array() : nullptr;
  if (!list) return false;
  for (const JsonValue& item : *list) {
    const JsonObject* object = item.get_object();
    if (object && schema_name(*object) == std::string_view("Transition")) return true;
  }
  return false;
}

// --- Context ----------------------------------------------------------------------

// Where a conflict is: the track's label and the clip on each side.
struct Place {
  std::string track;
  std::size_t base = kNoIndex;
  std::size_t ours = kNoIndex;
  std::size_t theirs = kNoIndex;
};

struct Context {
  MergeFavor favor;
  std::vector<MergeConflict> conflicts;

  const JsonValue* favored(const JsonValue* o, const JsonValue* t) const { return favor == MergeFavor::Ours ? o : t; }

  void conflict(std::string kind, const Place& at, const JsonValue* b, const JsonValue* o, const JsonValue* t,
                std::string message) {
    conflicts.push_back({std::move(kind), at.track, at.base, at.ours, at.theirs, copy_or_null(b), copy_or_null(o),
                         copy_or_null(t), std::move(message), {}, kNoIndex});
  }

  // The three-way value of something, recording a conflict of `kind` when
  // both sides changed it differently.
  const JsonValue* merge_value(const JsonValue* b, const JsonValue* o, const JsonValue* t, const std::string& kind,
                               const Place& at, const std::string& message) {
    if (std::optional<const JsonValue*> chosen = choose(b, o, t)) return *chosen;
    conflict(kind, at, b, o, t, message);
    return favored(o, t);
  }
};

// The kind of conflict a member of a clip gives, and the words for it.
std::string member_kind(std::string_view key) {
  if (key == "source_range") return "trim";
  if (key == "media_reference" || key == "media_references" || key == "active_media_reference_key") return "media";
  if (key == "effects") return "effects";
  return "member";
}

// Merges objects member by member. `special` may take over a member: it
// returns the value to keep (or nullopt to leave the member out) after
// recording any conflict itself.
using Special = std::function<std::optional<std::optional<JsonValue>>(std::string_view key, const JsonValue* b,
                                                                      const JsonValue* o, const JsonValue* t)>;

JsonObject merge_members(const JsonObject* b, const JsonObject* o, const JsonObject* t, Context& ctx,
                         const Place& at, const std::string& what, const std::set<std::string_view>& skip,
                         const Special& special = nullptr) {
  std::set<std::string_view> keys;
  for (const JsonObject* side : {b, o, t}) {
    if (!side) continue;
    for (const auto& [key, value] : *side) keys.insert(key);
  }
  std::vector<JsonObject::Member> out;
  for (std::string_view key : keys) {
    if (skip.count(key)) continue;
    const JsonValue* bv = b ? b->find(key) : nullptr;
    const JsonValue* ov = o ? o->find(key) : nullptr;
    const JsonValue* tv = t ? t->find(key) : nullptr;
    if (special) {
      if (std::optional<std::optional<JsonValue>> taken = special(key, bv, ov, tv)) {
        if (*taken) out.emplace_back(std::string(key), std::move(**taken));
        continue;
      }
    }
    const JsonValue* chosen = ctx.merge_value(bv, ov, tv, member_kind(key), at,
                                              what + " `" + std::string(key) + "` changed differently on both sides");
    if (chosen) out.emplace_back(std::string(key), *chosen);
  }
  return JsonObject::from_sorted(std::move(out));
}

// --- Clips ------------------------------------------------------------------------

// A source range whose two edges were trimmed apart: each edge from the side
// that moved it. Nullopt when an edge moved differently on both sides or the
// rates differ.
std::optional<JsonValue> merge_edges(const JsonValue& b, const JsonValue& o, const JsonValue& t) {
  std::optional<TimeRange> rb = read_time_range(b), ro = read_time_range(o), rt = read_time_range(t);
  if (!rb || !ro || !rt) return std::nullopt;
  for (const TimeRange* r : {&*rb, &*ro, &*rt}) {
    if (!same_rate(r->start_time.rate, rb->start_time.rate) || !same_rate(r->duration.rate, rb->start_time.rate)) {
      return std::nullopt;
    }
  }
  const auto edge = [](double base, double ours, double theirs) -> std::optional<double> {
    if (ours == base) return theirs;
    if (theirs == base || ours == theirs) return ours;
    return std::nullopt;
  };
  const auto end = [](const TimeRange& r) { return r.start_time.value + r.duration.value; };
  std::optional<double> start = edge(rb->start_time.value, ro->start_time.value, rt->start_time.value);
  std::optional<double> stop = edge(end(*rb), end(*ro), end(*rt));
  if (!start || !stop) return std::nullopt;
  // Ours' object, with its schema and any other members, takes the edges.
  JsonValue merged = o;
  JsonObject& range = *merged.get_object();
  const auto set_value = [&](std::string_view key, double value) {
    JsonValue* time = range.find(key);
    JsonObject* fields = time ? time->get_object() : nullptr;
    if (!fields) return;
    // Whole frames stay integers when they were written as such.
    const JsonValue* old = fields->find("value");
    const bool integral = old && old->get_number() && old->get_number()->kind() != JsonNumber::Kind::Float &&
                          value == std::trunc(value);
    fields->insert("value", integral ? JsonValue::from_i64(static_cast<std::int64_t>(value)) : JsonValue(value));
  };
  set_value("start_time", *start);
  set_value("duration", *stop - *start);
  return merged;
}

JsonValue merge_clip(const JsonValue* b, const JsonValue* o, const JsonValue* t, Context& ctx, const Place& at) {
  const Special special = [&](std::string_view key, const JsonValue* bv, const JsonValue* ov,
                              const JsonValue* tv) -> std::optional<std::optional<JsonValue>> {
    if (key == "source_range" && bv && ov && tv && !choose(bv, ov, tv)) {
      if (std::optional<JsonValue> merged = merge_edges(*bv, *ov, *tv)) return std::optional<JsonValue>(*merged);
      ctx.conflict("trim", at, bv, ov, tv, "the clip was trimmed differently on both sides");
      const JsonValue* favored = ctx.favored(ov, tv);
      return favored ? std::optional<JsonValue>(*favored) : std::nullopt;
    }
    if (key == "metadata" && !choose(bv, ov, tv) && (!bv || object_of(bv)) && (!ov || object_of(ov)) &&
        (!tv || object_of(tv))) {
      return std::optional<JsonValue>(
          JsonValue(merge_members(object_of(bv), object_of(ov), object_of(tv), ctx, at, "clip metadata", {})));
    }
    return std::nullopt;
  };
  return merge_members(object_of(b), object_of(o), object_of(t), ctx, at, "clip member", {}, special);
}

// --- Sequences --------------------------------------------------------------------

enum Side : std::uint8_t { kBase = 0, kOurs = 1, kTheirs = 2, kEdge = 3 };

// A clip of the merge: a base clip (index in base's track) or a clip only one
// side has (index in that side's track). kEdge stands for the start (index
// 0) or the end (index 1) of the track.
struct Token {
  Side side = kEdge;
  std::size_t index = 0;
  friend bool operator==(const Token&, const Token&) = default;
  friend bool operator<(const Token& a, const Token& b) {
    return a.side != b.side ? a.side < b.side : a.index < b.index;
  }
};
constexpr Token kStart{kEdge, 0};
constexpr Token kEnd{kEdge, 1};
using Cut2 = std::pair<Token, Token>;  // the tokens either side of a cut

// One side's view of a track: its document, its cut model, and per clip
// the token it is.
struct SideTrack {
  const JsonValue* json = nullptr;
  const CutTrack* cut = nullptr;
  std::vector<Token> tokens;            // per clip, in order
  std::map<Cut2, JsonValue> between;    // the items between adjacent tokens
};

void fill_between(SideTrack& s) {
  const JsonArray* items = children_of(s.json);
  const std::size_t item_count = items ? items->size() : 0;
  std::size_t from = 0;
  Token previous = kStart;
  for (std::size_t i = 0; i <= s.tokens.size(); ++i) {
    const std::size_t to = i < s.tokens.size() ? s.cut->clips[i].item : item_count;
    JsonArray list;
    for (std::size_t k = from; k < to && items; ++k) list.push_back((*items)[k]);
    const Token next = i < s.tokens.size() ? s.tokens[i] : kEnd;
    s.between[{previous, next}] = JsonValue(std::move(list));
    previous = next;
    from = to + 1;
  }
}

const JsonValue* clip_json(const SideTrack& s, std::size_t clip) {
  const JsonArray* items = children_of(s.json);
  return items ? &(*items)[s.cut->clips[clip].item] : nullptr;
}

// The per-track facts a comparison gives about base's clips on one side.
struct SideFacts {
  std::vector<std::size_t> position;  // base clip -> clip on this side, kNoIndex when gone from the track
  std::vector<char> moved;
  std::vector<char> changed;  // any edit, moves included
  bool track_changed = false;
};

SideFacts facts(const Comparison& c, std::size_t bt, std::size_t st, std::size_t base_clips) {
  SideFacts f;
  f.position.assign(base_clips, kNoIndex);
  f.moved.assign(base_clips, 0);
  f.changed.assign(base_clips, 0);
  for (std::size_t i = 0; i < base_clips; ++i) {
    const ClipSpot spot = c.clip_after_of_before[bt][i];
    if (spot && spot.track == st) f.position[i] = spot.clip;
  }
  for (const Edit& e : c.edits) {
    if (e.before_track != bt && e.after_track != st) continue;
    f.track_changed = true;
    if (e.before_track != bt || e.before_index == kNoIndex || e.before_index >= base_clips) continue;
    if (e.op == EditOp::TransitionAdded || e.op == EditOp::TransitionRemoved || e.op == EditOp::TransitionChanged) {
      continue;
    }
    if (e.after_track != st) continue;
    f.changed[e.before_index] = 1;
    if (e.op == EditOp::Moved) f.moved[e.before_index] = 1;
  }
  return f;
}

class TrackMerge {
 public:
  TrackMerge(Context& ctx, std::string label, SideTrack& base, SideTrack& ours, SideTrack& theirs,
             const SideFacts& fo, const SideFacts& ft)
      : ctx_(ctx), label_(std::move(label)), base_(base), ours_(ours), theirs_(theirs), fo_(fo), ft_(ft) {}

  JsonValue run() {
    decide_base_clips();
    order();
    return build();
  }

 private:
  Place place_of(const Token& t) const {
    Place at{label_};
    if (t.side == kBase) {
      at.base = t.index;
      at.ours = fo_.position[t.index];
      at.theirs = ft_.position[t.index];
    } else if (t.side == kOurs) {
      at.ours = t.index;
    } else if (t.side == kTheirs) {
      at.theirs = t.index;
    }
    return at;
  }

  // Which base clips stay, and from whom a clip one side removed comes.
  void decide_base_clips() {
    const std::size_t n = base_.tokens.size();
    keep_.assign(n, 0);
    keeper_.assign(n, kBase);
    for (std::size_t c = 0; c < n; ++c) {
      const bool in_ours = fo_.position[c] != kNoIndex;
      const bool in_theirs = ft_.position[c] != kNoIndex;
      if (in_ours && in_theirs) {
        keep_[c] = 1;
        continue;
      }
      if (!in_ours && !in_theirs) continue;
      const Side holder = in_ours ? kOurs : kTheirs;
      const bool changed = holder == kOurs ? fo_.changed[c] : ft_.changed[c];
      if (!changed) continue;
      const SideTrack& kept = holder == kOurs ? ours_ : theirs_;
      const std::size_t at = holder == kOurs ? fo_.position[c] : ft_.position[c];
      const Token token{kBase, c};
      ctx_.conflict("removed_and_changed", place_of(token), clip_json(base_, c),
                    holder == kOurs ? clip_json(kept, at) : nullptr, holder == kTheirs ? clip_json(kept, at) : nullptr,
                    std::string("the clip was removed on ") + (holder == kOurs ? "theirs" : "ours") +
                        " and changed on " + (holder == kOurs ? "ours" : "theirs"));
      const bool favored_keeps = (holder == kOurs) == (ctx_.favor == MergeFavor::Ours);
      if (favored_keeps) {
        keep_[c] = 1;
        keeper_[c] = holder;
      }
    }
  }

  // Who decides where a token goes: kBase for base's order (neither side
  // moved it), a side, or kEdge for a clip both sides moved.
  Side placer(const Token& t) const {
    if (t.side != kBase) return t.side;
    const std::size_t c = t.index;
    const bool mo = fo_.position[c] != kNoIndex && fo_.moved[c];
    const bool mt = ft_.position[c] != kNoIndex && ft_.moved[c];
    if (mo && mt) return kEdge;
    if (mo) return kOurs;
    if (mt) return kTheirs;
    return kBase;
  }

  bool in_result(const Token& t) const {
    if (t.side == kBase) return keep_[t.index] != 0;
    return !dropped_.count(t);
  }

  void order() {
    where_[kStart] = merged_.insert(merged_.end(), kStart);
    for (std::size_t c = 0; c < base_.tokens.size(); ++c) {
      const Token t{kBase, c};
      if (in_result(t) && placer(t) == kBase) where_[t] = merged_.insert(merged_.end(), t);
    }
    where_[kEnd] = merged_.insert(merged_.end(), kEnd);
    const Side first = ctx_.favor == MergeFavor::Ours ? kOurs : kTheirs;
    walk(first);
    walk(first == kOurs ? kTheirs : kOurs);
  }

  // Places the tokens `side` decides, each right after the token before it
  // that this side sees where it put it.
  void walk(Side side) {
    SideTrack& s = side == kOurs ? ours_ : theirs_;
    const Side other = side == kOurs ? kTheirs : kOurs;
    auto previous = where_[kStart];
    for (std::size_t i = 0; i < s.tokens.size(); ++i) {
      Token t = s.tokens[i];
      if (t.side == kBase && !in_result(t)) continue;
      const Side decides = placer(t);
      if (t.side == kBase && decides == other) continue;  // the other side moved it
      if (auto found = where_.find(t); found != where_.end()) {
        // Already placed: in base's order, or moved by both sides.
        if (decides == kEdge && placed_after_[t] != *previous) {
          ctx_.conflict("moved", place_of(t), nullptr, clip_json(ours_, fo_.position[t.index]),
                        clip_json(theirs_, ft_.position[t.index]), "the clip was moved to different places on both sides");
          continue;
        }
        previous = found->second;
        continue;
      }
      auto next = std::next(previous);
      if (next != merged_.end() && *next != kEnd && placed_by_.count(*next) && placed_by_[*next] == other &&
          placed_after_[*next] == *previous) {
        // The other side put something at this very place.
        const JsonValue* mine = t.side == kBase ? nullptr : clip_json(s, t.index);
        const SideTrack& os = other == kOurs ? ours_ : theirs_;
        const JsonValue* theirs_clip = next->side == other ? clip_json(os, next->index) : nullptr;
        if (mine && theirs_clip && *mine == *theirs_clip) {
          // The same clip added at the same place on both sides: once.
          alias_[t] = *next;
          previous = next;
          continue;
        }
        const Place at = place_of(t);
        ctx_.conflict("insert_order", at, nullptr, side == kOurs ? mine : theirs_clip,
                      side == kOurs ? theirs_clip : mine,
                      "different clips were put at the same place on both sides; their order is unknown");
        if (t.side != kBase) dropped_.insert(t);
        continue;
      }
      placed_by_[t] = side;
      placed_after_[t] = *previous;
      previous = where_[t] = merged_.insert(next, t);
    }
  }

  Token canonical(const Token& t) const {
    auto it = alias_.find(t);
    return it == alias_.end() ? t : it->second;
  }

  std::map<Cut2, JsonValue> canonical_between(const SideTrack& s) const {
    std::map<Cut2, JsonValue> out;
    for (const auto& [cut, items] : s.between) out.emplace(Cut2{canonical(cut.first), canonical(cut.second)}, items);
    return out;
  }

  JsonValue build() {
    const std::map<Cut2, JsonValue> ob = canonical_between(ours_);
    const std::map<Cut2, JsonValue> tb = canonical_between(theirs_);
    const std::map<Cut2, JsonValue>& bb = base_.between;
    std::set<Cut2> adjacent;
    for (auto it = merged_.begin(); std::next(it) != merged_.end(); ++it) adjacent.insert({*it, *std::next(it)});
    const auto find = [](const std::map<Cut2, JsonValue>& m, const Cut2& k) -> const JsonValue* {
      auto it = m.find(k);
      return it == m.end() ? nullptr : &it->second;
    };
    // Cuts the merge took apart: a transition one side changed there is lost.
    std::set<Cut2> all;
    for (const auto* m : {&bb, &ob, &tb}) {
      for (const auto& [k, v] : *m) all.insert(k);
    }
    for (const Cut2& k : all) {
      if (adjacent.count(k)) continue;
      const JsonValue *bv = find(bb, k), *ov = find(ob, k), *tv = find(tb, k);
      for (Side side : {kOurs, kTheirs}) {
        const JsonValue* mine = side == kOurs ? ov : tv;
        if (!mine || same(mine, bv) || !(has_transition(mine) || has_transition(bv))) continue;
        ctx_.conflict("transition", place_of(k.second), bv, ov, tv,
                      "a transition changed on one side at a cut the other side took apart");
      }
    }

    JsonArray children;
    for (auto it = merged_.begin(); std::next(it) != merged_.end(); ++it) {
      const Cut2 k{*it, *std::next(it)};
      const JsonValue *bv = find(bb, k), *ov = find(ob, k), *tv = find(tb, k);
      const bool transition = has_transition(bv) || has_transition(ov) || has_transition(tv);
      const JsonValue* items =
          ctx_.merge_value(bv, ov, tv, transition ? "transition" : "gap", place_of(k.second),
                           transition ? "the transition at this cut changed differently on both sides"
                                      : "what lies before this clip changed differently on both sides");
      if (const JsonArray* list = items ? items->get_array() : nullptr) {
        for (const JsonValue& item : *list) children.push_back(item);
      }
      if (k.second != kEnd) children.push_back(clip_of(k.second));
    }
    return JsonValue(std::move(children));
  }

  JsonValue clip_of(const Token& t) {
    if (t.side == kOurs) return *clip_json(ours_, t.index);
    if (t.side == kTheirs) return *clip_json(theirs_, t.index);
    const std::size_t c = t.index;
    if (keeper_[c] == kOurs) return *clip_json(ours_, fo_.position[c]);
    if (keeper_[c] == kTheirs) return *clip_json(theirs_, ft_.position[c]);
    return merge_clip(clip_json(base_, c), clip_json(ours_, fo_.position[c]), clip_json(theirs_, ft_.position[c]),
                      ctx_, place_of(t));
  }

  Context& ctx_;
  std::string label_;
  SideTrack& base_;
  SideTrack& ours_;
  SideTrack& theirs_;
  const SideFacts& fo_;
  const SideFacts& ft_;
  std::vector<char> keep_;
  std::vector<Side> keeper_;  // kBase: merged from both; else the one side that kept it
  std::list<Token> merged_;
  std::map<Token, std::list<Token>::iterator> where_;
  std::map<Token, Side> placed_by_;
  std::map<Token, Token> placed_after_;
  std::map<Token, Token> alias_;
  std::set<Token> dropped_;
};

SideTrack side_track(const JsonValue& document, const Cut& cut, std::size_t track,
                     const std::function<Token(std::size_t)>& token_of) {
  SideTrack s;
  const JsonValue* stack = member(&document, "tracks");
  const JsonArray* tracks = children_of(stack);
  s.cut = &cut.tracks[track];
  s.json = tracks ? &(*tracks)[s.cut->item] : nullptr;
  for (std::size_t i = 0; i < s.cut->clips.size(); ++i) s.tokens.push_back(token_of(i));
  fill_between(s);
  return s;
}

// --- Warnings ---------------------------------------------------------------------

double seconds(const RationalTime& t) { return t.rate > 0 ? t.value / t.rate : t.value; }

void range_warnings(const JsonValue& merged, const Cut& cut, std::vector<MergeWarning>& out) {
  const JsonArray* tracks = children_of(member(&merged, "tracks"));
  if (!tracks) return;
  for (const CutTrack& track : cut.tracks) {
    const JsonArray* items = children_of(&(*tracks)[track.item]);
    for (std::size_t i = 0; i < track.clips.size() && items; ++i) {
      const JsonValue& clip = (*items)[track.clips[i].item];
      const JsonValue* range = member(&clip, "source_range");
      std::optional<TimeRange> used;
      if (range) used = read_time_range(*range);
      const JsonValue* reference = member(&clip, "media_reference");
      if (!reference) {
        const JsonValue* key = member(&clip, "active_media_reference_key");
        const std::string* name = key ? key->get_string() : nullptr;
        reference = member(member(&clip, "media_references"), name ? *name : "DEFAULT_MEDIA");
      }
      const JsonValue* available_value = member(reference, "available_range");
      std::optional<TimeRange> available;
      if (available_value) available = read_time_range(*available_value);
      if (!used || !available) continue;
      const double a0 = seconds(available->start_time), a1 = a0 + seconds(available->duration);
      const double u0 = seconds(used->start_time), u1 = u0 + seconds(used->duration);
      const double slack = 1e-6;
      if (u0 < a0 - slack || u1 > a1 + slack) {
        out.push_back({"range", track.label, i,
                       "the source range of clip " + std::to_string(i + 1) + " `" + track.clips[i].name +
                           "` runs outside its media's available range"});
      }
    }
  }
}

// Whether base has a clip of one source on a picture track and on a sound
// track: only then can a merge put them out of sync.
bool has_picture_and_sound(const Cut& base) {
  std::set<std::string_view> sound;
  for (const CutTrack& track : base.tracks) {
    if (track.kind != TrackKind::Audio) continue;
    for (const CutClip& clip : track.clips) {
      if (clip.media) sound.insert(*clip.media);
    }
  }
  for (const CutTrack& track : base.tracks) {
    if (track.kind != TrackKind::Video) continue;
    for (const CutClip& clip : track.clips) {
      if (clip.media && sound.count(*clip.media)) return true;
    }
  }
  return false;
}

// Clips of one source on a picture track and a sound track that base had
// together: their offset in the result must be one of the sides' offsets.
void sync_warnings(const Cut& base, const Cut& ours, const Cut& theirs, const Cut& merged, const Comparison& co,
                   const Comparison& ct, const Comparison& cm, std::vector<MergeWarning>& out) {
  const auto at = [](const Cut& cut, const ClipSpot& s) -> std::optional<double> {
    if (!s) return std::nullopt;
    const std::optional<RationalTime>& t = cut.tracks[s.track].clips[s.clip].record_in;
    return t ? std::optional<double>(seconds(*t)) : std::nullopt;
  };
  const auto spot_in = [](const Comparison& c, std::size_t track, std::size_t clip) {
    return c.clip_after_of_before[track][clip];
  };
  std::unordered_map<std::string_view, std::vector<ClipSpot>> sound;
  for (std::size_t t = 0; t < base.tracks.size(); ++t) {
    if (base.tracks[t].kind != TrackKind::Audio) continue;
    for (std::size_t i = 0; i < base.tracks[t].clips.size(); ++i) {
      if (base.tracks[t].clips[i].media) sound[*base.tracks[t].clips[i].media].push_back({t, i});
    }
  }
  for (std::size_t t = 0; t < base.tracks.size(); ++t) {
    if (base.tracks[t].kind != TrackKind::Video) continue;
    for (std::size_t i = 0; i < base.tracks[t].clips.size(); ++i) {
      const CutClip& picture = base.tracks[t].clips[i];
      if (!picture.media) continue;
      auto it = sound.find(*picture.media);
      if (it == sound.end() || it->second.size() > 4) continue;
      for (const ClipSpot& s : it->second) {
        const ClipSpot p{t, i};
        const auto offset = [&](const Cut& cut, const Comparison* c) -> std::optional<double> {
          const ClipSpot ps = c ? spot_in(*c, p.track, p.clip) : p;
          const ClipSpot ss = c ? spot_in(*c, s.track, s.clip) : s;
          std::optional<double> a = at(cut, ps), b = at(cut, ss);
          if (!a || !b) return std::nullopt;
          return *a - *b;
        };
        std::optional<double> ob = offset(base, nullptr), oo = offset(ours, &co), ot = offset(theirs, &ct),
                              om = offset(merged, &cm);
        if (!ob || !om || !oo || !ot) continue;
        const auto differs = [](double x, double y) { return std::abs(x - y) > 1e-6; };
        if (differs(*om, *oo) && differs(*om, *ot)) {
          const ClipSpot mp = spot_in(cm, p.track, p.clip);
          out.push_back({"sync", merged.tracks[mp.track].label, mp.clip,
                         "clip " + std::to_string(mp.clip + 1) + " `" + picture.name +
                             "` is out of sync with its sound on " + merged.tracks[spot_in(cm, s.track, s.clip).track].label +
                             " by " + std::to_string(*om - *ob) + " s"});
        }
      }
    }
  }
}

// Where the merged timeline holds each conflict's clip: each side's clip
// paired with the result, the favored side first.
void place_conflicts(const Cut& ours, const Cut& theirs, const Cut& merged, MergeFavor favor,
                     std::vector<MergeConflict>& conflicts) {
  struct SideToMerged {
    const Cut* cut;
    Comparison comparison;
    bool is_ours;
  };
  SideToMerged sides[2] = {{&ours, compare_cuts(ours, merged), true}, {&theirs, compare_cuts(theirs, merged), false}};
  if (favor == MergeFavor::Theirs) std::swap(sides[0], sides[1]);
  for (MergeConflict& conflict : conflicts) {
    for (const SideToMerged& side : sides) {
      const std::size_t index = side.is_ours ? conflict.ours_index : conflict.theirs_index;
      if (index == kNoIndex) continue;
      std::size_t track = kNoIndex;
      for (std::size_t t = 0; t < side.cut->tracks.size() && track == kNoIndex; ++t) {
        if (side.cut->tracks[t].label == conflict.track) track = t;
      }
      if (track == kNoIndex || index >= side.comparison.clip_after_of_before[track].size()) continue;
      const ClipSpot spot = side.comparison.clip_after_of_before[track][index];
      if (!spot) continue;
      conflict.merged_track = merged.tracks[spot.track].label;
      conflict.merged_index = spot.clip;
      break;
    }
  }
}

}  // namespace

Result<MergeResult> merge_timelines(const JsonValue& base, const JsonValue& ours, const JsonValue& theirs,
                                    MergeFavor favor) {
  Result<Cut> bc = read_cut(base);
  if (!bc) return bc.error();
  Result<Cut> oc = read_cut(ours);
  if (!oc) return oc.error();
  Result<Cut> tc = read_cut(theirs);
  if (!tc) return tc.error();
  const Comparison co = compare_cuts(*bc, *oc);
  const Comparison ct = compare_cuts(*bc, *tc);
  Context ctx{favor, {}};

  // Each base track merged (or kept from the one side that has it), or
  // absent when it leaves the result.
  std::map<std::size_t, JsonValue> merged_of_base;
  for (std::size_t bt = 0; bt < bc->tracks.size(); ++bt) {
    const std::size_t ot = co.track_after_of_before[bt];
    const std::size_t tt = ct.track_after_of_before[bt];
    const std::string label = ot != kNoIndex ? oc->tracks[ot].label : bc->tracks[bt].label;
    const JsonValue* base_track = &(*children_of(member(&base, "tracks")))[bc->tracks[bt].item];
    const JsonValue* ours_track =
        ot != kNoIndex ? &(*children_of(member(&ours, "tracks")))[oc->tracks[ot].item] : nullptr;
    const JsonValue* theirs_track =
        tt != kNoIndex ? &(*children_of(member(&theirs, "tracks")))[tc->tracks[tt].item] : nullptr;
    if (ot == kNoIndex || tt == kNoIndex) {
      if (ot == kNoIndex && tt == kNoIndex) continue;
      const bool ours_kept = ot != kNoIndex;
      const JsonValue* track = ours_kept ? ours_track : theirs_track;
      const SideFacts f = facts(ours_kept ? co : ct, bt, ours_kept ? ot : tt, bc->tracks[bt].clips.size());
      if (!f.track_changed && same(track, base_track)) continue;
      ctx.conflict("track_removed_and_changed", Place{label}, base_track, ours_track, theirs_track,
                   std::string("the track was removed on ") + (ours_kept ? "theirs" : "ours") + " and changed on " +
                       (ours_kept ? "ours" : "theirs"));
      if (ours_kept == (favor == MergeFavor::Ours)) merged_of_base[bt] = *track;
      continue;
    }
    // A track whose children are not a list on some side has nothing to
    // merge clip by clip: its children merge as one member.
    if (!children_of(base_track) || !children_of(ours_track) || !children_of(theirs_track)) {
      merged_of_base[bt] = JsonValue(merge_members(object_of(base_track), object_of(ours_track),
                                                   object_of(theirs_track), ctx, Place{label}, "track member", {}));
      continue;
    }
    const std::size_t n = bc->tracks[bt].clips.size();
    const SideFacts fo = facts(co, bt, ot, n);
    const SideFacts ft = facts(ct, bt, tt, n);
    SideTrack sb = side_track(base, *bc, bt, [](std::size_t i) { return Token{kBase, i}; });
    SideTrack so = side_track(ours, *oc, ot, [&](std::size_t i) {
      const ClipSpot s = co.clip_before_of_after[ot][i];
      return s && s.track == bt ? Token{kBase, s.clip} : Token{kOurs, i};
    });
    SideTrack st = side_track(theirs, *tc, tt, [&](std::size_t i) {
      const ClipSpot s = ct.clip_before_of_after[tt][i];
      return s && s.track == bt ? Token{kBase, s.clip} : Token{kTheirs, i};
    });
    JsonValue children = TrackMerge(ctx, label, sb, so, st, fo, ft).run();
    JsonObject track = merge_members(object_of(base_track), object_of(ours_track), object_of(theirs_track), ctx,
                                     Place{label}, "track member", {"children"});
    track.insert("children", std::move(children));
    merged_of_base[bt] = JsonValue(std::move(track));
  }

  // The stack's children are laid out after one side: ours, unless ours
  // left the stack's layout as base had it (then theirs, so that a side
  // merged with an unchanged one comes out whole). The other side's new
  // tracks go after the track before them on that side, after the first
  // side's own new tracks there; the same track added on both sides once.
  const JsonValue* base_stack = member(&base, "tracks");
  const JsonValue* ours_stack = member(&ours, "tracks");
  const JsonValue* theirs_stack = member(&theirs, "tracks");
  struct Layout {
    const JsonValue* stack;
    const Cut* cut;
    const Comparison* comparison;
  };
  // A side's stack as base track indices, "new" and other children's texts.
  const auto signature = [&](const Layout& side) {
    std::vector<std::string> out;
    const JsonArray* list = children_of(side.stack);
    std::map<std::size_t, std::size_t> track_at;  // stack child -> cut track
    for (std::size_t t = 0; t < side.cut->tracks.size(); ++t) track_at[side.cut->tracks[t].item] = t;
    for (std::size_t i = 0; list && i < list->size(); ++i) {
      auto it = track_at.find(i);
      if (it == track_at.end()) {
        out.push_back("=" + canonical_json((*list)[i]));
      } else if (!side.comparison) {
        out.push_back(std::to_string(it->second));
      } else {
        const std::size_t b = side.comparison->track_before_of_after[it->second];
        out.push_back(b == kNoIndex ? "new" : std::to_string(b));
      }
    }
    return out;
  };
  const Layout base_layout{base_stack, &*bc, nullptr};
  const Layout ours_layout{ours_stack, &*oc, &co};
  const Layout theirs_layout{theirs_stack, &*tc, &ct};
  const bool ours_first = signature(ours_layout) != signature(base_layout);
  const Layout& first = ours_first ? ours_layout : theirs_layout;
  const Layout& second = ours_first ? theirs_layout : ours_layout;

  JsonArray children;
  std::vector<char> first_new;                   // per child: a new track of the first side
  std::map<std::size_t, std::size_t> base_at;    // base track -> index in `children`
  std::set<std::size_t> placed;                  // base tracks placed
  {
    const JsonArray* list = children_of(first.stack);
    std::map<std::size_t, std::size_t> track_at;
    for (std::size_t t = 0; t < first.cut->tracks.size(); ++t) track_at[first.cut->tracks[t].item] = t;
    for (std::size_t i = 0; list && i < list->size(); ++i) {
      auto it = track_at.find(i);
      if (it == track_at.end()) {
        children.push_back((*list)[i]);
        first_new.push_back(0);
        continue;
      }
      const std::size_t b = first.comparison->track_before_of_after[it->second];
      if (b == kNoIndex) {
        children.push_back((*list)[i]);
        first_new.push_back(1);
        continue;
      }
      auto merged = merged_of_base.find(b);
      if (merged == merged_of_base.end()) continue;
      base_at[b] = children.size();
      placed.insert(b);
      children.push_back(std::move(merged->second));
      first_new.push_back(0);
    }
  }
  // The second side's tracks the first side does not place: its new ones,
  // and base tracks the first side removed that stay.
  const Cut& second_cut = *second.cut;
  std::map<std::size_t, std::size_t> second_at;  // second side's track -> index in `children`
  for (std::size_t t = 0; t < second_cut.tracks.size(); ++t) {
    const std::size_t b = second.comparison->track_before_of_after[t];
    if (b != kNoIndex && base_at.count(b)) second_at[t] = base_at[b];
  }
  const JsonArray* second_list = children_of(second.stack);
  for (std::size_t t = 0; t < second_cut.tracks.size(); ++t) {
    const std::size_t b = second.comparison->track_before_of_after[t];
    JsonValue track;
    if (b == kNoIndex) {
      track = (*second_list)[second_cut.tracks[t].item];
      bool already = false;
      for (std::size_t k = 0; k < children.size() && !already; ++k) already = first_new[k] && children[k] == track;
      if (already) continue;
    } else {
      auto merged = merged_of_base.find(b);
      if (placed.count(b) || merged == merged_of_base.end()) continue;
      track = std::move(merged->second);
    }
    std::size_t at = 0;
    for (std::size_t p = t; p-- > 0;) {
      auto it = second_at.find(p);
      if (it != second_at.end()) {
        at = it->second + 1;
        break;
      }
    }
    at = std::min(at, children.size());
    while (at < children.size() && first_new[at]) ++at;
    children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), std::move(track));
    first_new.insert(first_new.begin() + static_cast<std::ptrdiff_t>(at), 0);
    for (auto& [p, pos] : second_at) {
      if (pos >= at) ++pos;
    }
    second_at[t] = at;
  }
  // Children of the stack that are not tracks stay where the first side
  // has them, unless only the second side changed them: then they are the
  // second side's, where it has them.
  const auto others = [](const JsonValue* stack) {
    std::vector<std::pair<std::size_t, JsonValue>> out;
    const JsonArray* list = children_of(stack);
    for (std::size_t i = 0; list && i < list->size(); ++i) {
      const JsonObject* child = (*list)[i].get_object();
      if (!child || schema_name(*child) != std::string_view("Track")) out.emplace_back(i, (*list)[i]);
    }
    return out;
  };
  const auto values = [](const std::vector<std::pair<std::size_t, JsonValue>>& list) {
    JsonArray out;
    for (const auto& [i, v] : list) out.push_back(v);
    return JsonValue(std::move(out));
  };
  const auto second_others = others(second.stack);
  const JsonValue bo = values(others(base_stack)), fo = values(others(first.stack)), so = values(second_others);
  if (!(fo == so) && !(so == bo)) {
    const bool first_is_ours = &first == &ours_layout;
    if (!(fo == bo)) {
      ctx.conflict("member", Place{}, &bo, first_is_ours ? &fo : &so, first_is_ours ? &so : &fo,
                   "the stack's other children changed differently on both sides");
    }
    const bool second_favored = (favor == MergeFavor::Ours) != first_is_ours;
    if (fo == bo || second_favored) {
      JsonArray tracks_only;
      for (JsonValue& child : children) {
        const JsonObject* o = child.get_object();
        if (o && schema_name(*o) == std::string_view("Track")) tracks_only.push_back(std::move(child));
      }
      for (const auto& [i, v] : second_others) {
        const std::size_t at = std::min(i, tracks_only.size());
        tracks_only.insert(tracks_only.begin() + static_cast<std::ptrdiff_t>(at), v);
      }
      children = std::move(tracks_only);
    }
  }
  JsonObject stack = merge_members(object_of(base_stack), object_of(ours_stack), object_of(theirs_stack), ctx,
                                   Place{}, "stack member", {"children"});
  stack.insert("children", std::move(children));
  JsonObject root = merge_members(object_of(&base), object_of(&ours), object_of(&theirs), ctx, Place{},
                                  "timeline member", {"tracks"});
  root.insert("tracks", std::move(stack));

  MergeResult result;
  result.timeline = JsonValue(std::move(root));
  result.conflicts = std::move(ctx.conflicts);
  if (Result<Cut> mc = read_cut(result.timeline)) {
    if (!result.conflicts.empty()) place_conflicts(*oc, *tc, *mc, favor, result.conflicts);
    range_warnings(result.timeline, *mc, result.warnings);
    if (has_picture_and_sound(*bc)) sync_warnings(*bc, *oc, *tc, *mc, co, ct, compare_cuts(*bc, *mc), result.warnings);
  }
  return result;
}

JsonValue conflict_json(const MergeConflict& c) {
  const auto index = [](std::size_t i) { return i == kNoIndex ? JsonValue() : JsonValue::from_u64(i); };
  JsonObject o;
  o.insert("base", c.base);
  o.insert("base_index", index(c.base_index));
  o.insert("kind", c.kind);
  o.insert("merged_index", index(c.merged_index));
  o.insert("merged_track", c.merged_track.empty() ? JsonValue() : JsonValue(c.merged_track));
  o.insert("message", c.message);
  o.insert("ours", c.ours);
  o.insert("ours_index", index(c.ours_index));
  o.insert("theirs", c.theirs);
  o.insert("theirs_index", index(c.theirs_index));
  o.insert("track", c.track);
  return o;
}

JsonValue warning_json(const MergeWarning& w) {
  JsonObject o;
  o.insert("index", w.index == kNoIndex ? JsonValue() : JsonValue::from_u64(w.index));
  o.insert("kind", w.kind);
  o.insert("message", w.message);
  o.insert("track", w.track);
  return o;
}

}  // namespace tesmo
