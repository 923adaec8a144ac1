#include "core/timeline/diff.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tesmo {
namespace {

// --- Building models ---------------------------------------------------------

TimeRange range(double start, double duration, double rate = 24) { return {{start, rate}, {duration, rate}}; }

TrackItem clip(std::string name, std::optional<std::string> media, std::optional<TimeRange> r,
               std::size_t effects = 0) {
  return ClipItem{std::move(name), r, std::move(media), effects};
}

// A clip with media of its own and a one-second range: it matches its copy
// on the exact key.
TrackItem shot(std::string name) { return clip(name, name + ".mov", range(0, 24)); }

std::vector<TrackItem> shots(std::string_view names) {
  std::vector<TrackItem> items;
  for (char c : names) items.push_back(shot(std::string(1, c)));
  return items;
}

TrackItem transition(std::string name, std::optional<RationalTime> duration = RationalTime{12, 24}) {
  return TransitionItem{std::move(name), duration};
}

TrackItem gap() { return GapItem{}; }

TrackModel video(std::string name, std::vector<TrackItem> items) {
  return {std::move(name), TrackKind::Video, std::move(items)};
}
TrackModel audio(std::string name, std::vector<TrackItem> items) {
  return {std::move(name), TrackKind::Audio, std::move(items)};
}

// --- Reading results ---------------------------------------------------------

std::string name_of(const std::optional<ClipRef>& c) { return c ? c->name : "-"; }
std::string text_of(const std::optional<std::string>& s) { return s ? *s : "-"; }

// One line per record, enough to tell records apart in matching tests:
// "<track>: moved <clip> <from>-><to> (<before neighbor>,<after neighbor>)",
// "<track>: transition_added <name> <between_before>|<between_after>", ...
struct Summary {
  std::string operator()(const change::TrackAdded& c) const {
    return "track_added " + c.name + " " + std::string(track_kind_name(c.kind));
  }
  std::string operator()(const change::TrackRemoved& c) const {
    return "track_removed " + c.name + " " + std::string(track_kind_name(c.kind));
  }
  std::string operator()(const change::Trimmed& c) const { return c.track + ": trimmed " + c.clip.name; }
  std::string operator()(const change::Moved& c) const {
    std::string s = c.from_track + ": moved " + c.clip.name + " " + std::to_string(c.from_index) + "->" +
                    std::to_string(c.to_index) + " (" + name_of(c.before_neighbor) + "," +
                    name_of(c.after_neighbor) + ")";
    return c.to_track == c.from_track ? s : s + " to " + c.to_track;
  }
  std::string operator()(const change::Added& c) const {
    return c.track + ": added " + c.clip.name + "@" + std::to_string(c.index);
  }
  std::string operator()(const change::Removed& c) const {
    return c.track + ": removed " + c.clip.name + "@" + std::to_string(c.index);
  }
  std::string operator()(const change::EffectsChanged& c) const {
    return c.track + ": effects_changed " + c.clip.name + " " + std::to_string(c.before) + "->" +
           std::to_string(c.after);
  }
  std::string operator()(const change::Replaced& c) const {
    return c.track + ": replaced " + c.clip.name + " " + text_of(c.before_media) + "->" + text_of(c.after_media);
  }
  std::string operator()(const change::TransitionAdded& c) const {
    return c.track + ": transition_added " + c.name + " " + name_of(c.between_before) + "|" +
           name_of(c.between_after);
  }
  std::string operator()(const change::TransitionRemoved& c) const {
    return c.track + ": transition_removed " + c.name + " " + name_of(c.between_before) + "|" +
           name_of(c.between_after);
  }
};

std::vector<std::string> summaries(const std::vector<ChangeRecord>& records) {
  std::vector<std::string> out;
  for (const ChangeRecord& r : records) out.push_back(std::visit(Summary{}, r.data));
  return out;
}

std::vector<std::string> diff(const TimelineModel& before, const TimelineModel& after) {
  return summaries(diff_timelines(before, after));
}

std::vector<std::string> diff_tracks(const TrackModel& before, const TrackModel& after) {
  std::vector<ChangeRecord> out;
  diff_track_pair(before, after, out);
  return summaries(out);
}

using Lines = std::vector<std::string>;

// --- Clip matching on one track pair -----------------------------------------

struct OrderCase {
  const char* label;
  const char* before;  // one shot per letter
  const char* after;
  Lines records;
};

class ClipOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(ClipOrder, ReportsOnlyClipsThatLeftTheLongestRun) {
  EXPECT_EQ(diff_tracks(video("V1", shots(GetParam().before)), video("V1", shots(GetParam().after))),
            GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClipOrder,
    testing::Values(
        OrderCase{"unchanged", "ABC", "ABC", {}},
        OrderCase{"swap", "XY", "YX", {"V1: moved X 0->1 (Y,-)"}},
        OrderCase{"last_to_front", "XYZ", "ZXY", {"V1: moved Z 2->0 (-,X)"}},
        OrderCase{"first_to_back", "XYZ", "YZX", {"V1: moved X 0->2 (Z,-)"}},
        // Ties between runs of equal length are settled by the search rules.
        OrderCase{"adjacent_swap_keeps_later", "ABC", "BAC", {"V1: moved A 0->1 (B,C)"}},
        OrderCase{"halves_swapped", "ABCD", "CDAB", {"V1: moved A 0->2 (D,B)", "V1: moved B 1->3 (A,-)"}},
        OrderCase{"reversed", "ABC", "CBA", {"V1: moved A 0->2 (B,-)", "V1: moved B 1->1 (C,A)"}},
        OrderCase{"insert_front", "XY", "NXY", {"V1: added N@0"}},
        OrderCase{"remove_first", "XYZ", "YZ", {"V1: removed X@0"}},
        OrderCase{"emptied", "XY", "", {"V1: removed X@0", "V1: removed Y@1"}},
        OrderCase{"filled", "", "XY", {"V1: added X@0", "V1: added Y@1"}},
        // Positions count unmatched clips too, and the neighbours may be
        // clips that have no partner.
        OrderCase{"moves_among_unmatched",
                  "XUY",
                  "YXV",
                  {"V1: moved X 0->1 (Y,V)", "V1: removed U@1", "V1: added V@2"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ClipMatching, GapsAndTransitionsDoNotCountAsPositions) {
  EXPECT_EQ(diff_tracks(video("V1", shots("XYZ")), video("V1", {gap(), shot("X"), gap(), shot("Y"), gap(), shot("Z")})),
            Lines{});
  EXPECT_EQ(diff_tracks(video("V1", shots("XY")), video("V1", {gap(), shot("Y"), gap(), shot("X")})),
            Lines{"V1: moved X 0->1 (Y,-)"});
}

TEST(ClipMatching, NameChangeAloneIsNoChange) {
  EXPECT_EQ(diff_tracks(video("V1", {clip("old", "m", range(0, 24))}), video("V1", {clip("new", "m", range(0, 24))})),
            Lines{});
  // With the range changed too there is no key in common.
  EXPECT_EQ(diff_tracks(video("V1", {clip("old", "m", range(0, 24))}), video("V1", {clip("new", "m", range(0, 48))})),
            (Lines{"V1: removed old@0", "V1: added new@0"}));
}

TEST(ClipMatching, ExactKeyIsTriedBeforeNames) {
  // The names say the clips swapped; media and ranges say they did not.
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", range(0, 24)), clip("Y", "m", range(24, 24))}),
                        video("V1", {clip("Y", "m", range(0, 24)), clip("X", "m", range(24, 24))})),
            Lines{});
}

TEST(ClipMatching, ExactKeyUsesSixDecimals) {
  const auto pair = [](double before_start, double after_start) {
    return diff_tracks(video("V1", {clip("X", "m", range(before_start, 48))}),
                       video("V1", {clip("Y", "m", range(after_start, 48))}));
  };
  EXPECT_EQ(pair(10, 10.0000001), Lines{});
  EXPECT_EQ(pair(10, 10.000001), (Lines{"V1: removed X@0", "V1: added Y@0"}));
  EXPECT_EQ(pair(10.5, 10.25), (Lines{"V1: removed X@0", "V1: added Y@0"}));
  // Both are written -0.000000.
  EXPECT_EQ(pair(-0.0, -0.0000004), Lines{});
  // The rates are part of the key although the times are equal in seconds.
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", range(24, 48, 24))}),
                        video("V1", {clip("Y", "m", range(25, 50, 25))})),
            (Lines{"V1: removed X@0", "V1: added Y@0"}));
}

TEST(ClipMatching, DuplicateExactKeysPairInPositionOrder) {
  // Pass 1 pairs the second before clip, so the first one is removed.
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", range(0, 24)), clip("X", "m", range(24, 24))}),
                        video("V1", {clip("X", "m", range(24, 24))})),
            Lines{"V1: removed X@0"});
  EXPECT_EQ(diff_tracks(video("V1", shots("AAA")), video("V1", shots("AA"))), Lines{"V1: removed A@2"});
  EXPECT_EQ(diff_tracks(video("V1", shots("AA")), video("V1", shots("AAA"))), Lines{"V1: added A@2"});
}

TEST(ClipMatching, DuplicateNamesPairInPositionOrder) {
  // Both clips are trimmed in place; pairing them crosswise would add moves.
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", range(0, 24)), clip("X", "m", range(24, 24))}),
                        video("V1", {clip("X", "m", range(0, 12)), clip("X", "m", range(24, 12)), shot("B")})),
            (Lines{"V1: trimmed X", "V1: trimmed X", "V1: added B@2"}));
}

TEST(ClipMatching, UnnamedClipsMatchOnMediaOnly) {
  EXPECT_EQ(diff_tracks(video("V1", {clip("", "m", range(0, 24))}), video("V1", {clip("", "m", range(0, 48))})),
            Lines{"V1: trimmed "});
  // "media:" and "name:" keys never meet, even for the same text.
  EXPECT_EQ(diff_tracks(video("V1", {clip("", "m", range(0, 24))}), video("V1", {clip("m", "n", range(0, 48))})),
            (Lines{"V1: removed @0", "V1: added m@0"}));
  // Without name or media a clip can never be paired, not even with itself.
  const TrackModel anonymous = video("V1", {shot("A"), clip("", std::nullopt, range(0, 24)), shot("B")});
  EXPECT_EQ(diff_tracks(anonymous, anonymous), (Lines{"V1: removed @1", "V1: added @1"}));
}

TEST(ClipMatching, PerPairRecordOrder) {
  // A is trimmed, moved, gains effects and new media; U goes, V comes, and
  // B, which did not move, gains a transition.
  const TrackModel before = video("V1", {clip("A", "a1", range(0, 24)), shot("B"), shot("U")});
  const TrackModel after =
      video("V1", {shot("B"), transition("D"), clip("A", "a2", range(0, 48), 2), shot("V")});
  EXPECT_EQ(diff_tracks(before, after),
            (Lines{"V1: trimmed A", "V1: moved A 0->1 (B,V)", "V1: effects_changed A 0->2", "V1: replaced A a1->a2",
                   "V1: removed U@2", "V1: added V@2", "V1: transition_added D B|A"}));
}

TEST(ClipMatching, MediaComingAndGoing) {
  EXPECT_EQ(diff_tracks(video("V1", {clip("A", std::nullopt, range(0, 24))}),
                        video("V1", {clip("A", "m", range(0, 24))})),
            Lines{"V1: replaced A -->m"});
  EXPECT_EQ(diff_tracks(video("V1", {clip("A", "m", range(0, 24))}),
                        video("V1", {clip("A", std::nullopt, range(0, 24))})),
            Lines{"V1: replaced A m->-"});
  EXPECT_EQ(diff_tracks(video("V1", {clip("A", "m", range(0, 24), 3)}), video("V1", {clip("A", "m", range(0, 24), 3)})),
            Lines{});
}

TEST(ClipMatching, AppendsToExistingRecords) {
  std::vector<ChangeRecord> out{ChangeRecord{change::TrackAdded{"T", TrackKind::Other}}};
  diff_track_pair(video("V1", shots("X")), video("V1", shots("XY")), out);
  EXPECT_EQ(summaries(out), (Lines{"track_added T other", "V1: added Y@1"}));
}

// --- Trims -------------------------------------------------------------------

struct TrimCase {
  const char* label;
  TimeRange before;
  TimeRange after;
  bool trimmed;
};

class TrimRule : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimRule, ComparesInFramesOrSeconds) {
  const Lines expected = GetParam().trimmed ? Lines{"V1: trimmed X"} : Lines{};
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", GetParam().before)}),
                        video("V1", {clip("X", "m", GetParam().after)})),
            expected);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, TrimRule,
    testing::Values(
        TrimCase{"same", range(10, 48), range(10, 48), false},
        TrimCase{"start_changed", range(10, 48), range(12, 48), true},
        TrimCase{"duration_changed", range(10, 48), range(10, 40), true},
        TrimCase{"start_within_tolerance", range(10, 48), range(10.0000004, 48), false},
        TrimCase{"start_beyond_tolerance", range(10, 48), range(10.00001, 48), true},
        TrimCase{"start_just_below_tolerance", range(0, 48), range(0.999999e-6, 48), false},
        TrimCase{"start_at_tolerance", range(0, 48), range(1e-6, 48), true},
        TrimCase{"start_at_tolerance_downwards", range(0, 48), range(-1e-6, 48), true},
        TrimCase{"duration_at_tolerance", range(0, 0), range(0, 1e-6), true},
        TrimCase{"duration_just_below_tolerance", range(0, 0), range(0, 0.999999e-6), false},
        // Different rates compare in seconds: one second either way.
        TrimCase{"same_seconds", {{24, 24}, {48, 24}}, {{25, 25}, {50, 25}}, false},
        TrimCase{"same_frames_other_seconds", {{24, 24}, {48, 24}}, {{24, 48}, {48, 24}}, true},
        // Rates within 2^-52 compare in frames, where these are equal; in
        // seconds they would differ by about 4e-4.
        TrimCase{"rates_within_epsilon", {{1e12, 0.5}, {1, 0.5}}, {{1e12, 0.5 + 0x1p-53}, {1, 0.5}}, false},
        TrimCase{"rates_at_epsilon", {{1e12, 1.0}, {1, 1.0}}, {{1e12, 1.0 + 0x1p-52}, {1, 1.0}}, true},
        // A rate of zero or below leaves the value as it is.
        TrimCase{"zero_rate_is_seconds", {{5, 0}, {1, 1}}, {{10, 2}, {1, 1}}, false},
        TrimCase{"negative_rate_is_seconds", {{5, -3}, {1, 1}}, {{10, 2}, {1, 1}}, false},
        TrimCase{"nan_counts_as_change", {{kNaN, 24}, {48, 24}}, {{kNaN, 24}, {48, 24}}, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TrimRule, NeedsRangesOnBothSides) {
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", range(0, 24))}), video("V1", {clip("X", "m", std::nullopt)})),
            Lines{});
  EXPECT_EQ(diff_tracks(video("V1", {clip("X", "m", std::nullopt)}), video("V1", {clip("X", "m", range(0, 24))})),
            Lines{});
}

// --- Transitions -------------------------------------------------------------

struct TransitionCase {
  const char* label;
  std::vector<TrackItem> before;
  std::vector<TrackItem> after;
  Lines records;
};

class Transitions : public testing::TestWithParam<TransitionCase> {};

TEST_P(Transitions, ReportedAfterPairedClipsOnly) {
  EXPECT_EQ(diff_tracks(video("V1", GetParam().before), video("V1", GetParam().after)), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Transitions,
    testing::Values(
        TransitionCase{"added", {shot("A"), shot("B")}, {shot("A"), transition("D"), shot("B")},
                       {"V1: transition_added D A|B"}},
        TransitionCase{"added_after_last", {shot("A"), shot("B")}, {shot("A"), shot("B"), transition("D")},
                       {"V1: transition_added D B|-"}},
        TransitionCase{"removed", {shot("A"), transition("D"), shot("B")}, {shot("A"), shot("B")},
                       {"V1: transition_removed D A|B"}},
        TransitionCase{"removed_after_last", {shot("A"), shot("B"), transition("D")}, {shot("A"), shot("B")},
                       {"V1: transition_removed D B|-"}},
        TransitionCase{"duration_changed", {shot("A"), transition("D"), shot("B")},
                       {shot("A"), transition("D", RationalTime{20, 24}), shot("B")}, {}},
        TransitionCase{"renamed", {shot("A"), transition("D"), shot("B")}, {shot("A"), transition("E"), shot("B")}, {}},
        TransitionCase{"after_unmatched_clip", {shot("A")}, {shot("A"), shot("N"), transition("D")}, {"V1: added N@1"}},
        TransitionCase{"at_track_start", {shot("A")}, {transition("D"), shot("A")}, {}},
        // A gap between a clip and a transition means the clip has none.
        TransitionCase{"behind_a_gap", {shot("A"), shot("B")}, {shot("A"), gap(), transition("D"), shot("B")}, {}},
        TransitionCase{"pushed_behind_a_gap", {shot("A"), transition("D"), shot("B")},
                       {shot("A"), gap(), transition("D"), shot("B")}, {"V1: transition_removed D A|B"}},
        // The neighbour of a removed transition comes from the before list.
        TransitionCase{"removed_with_move", {shot("A"), transition("D"), shot("B")}, {shot("B"), shot("A")},
                       {"V1: moved A 0->1 (B,-)", "V1: transition_removed D A|B"}}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Track pairing and the whole result --------------------------------------

TEST(TrackPairing, EmptyTimelines) {
  EXPECT_EQ(diff(TimelineModel{}, TimelineModel{}), Lines{});
  const TimelineModel two{{video("V1", shots("AB")), audio("A1", shots("S"))}};
  EXPECT_EQ(diff(TimelineModel{}, two), (Lines{"track_added V1 video", "track_added A1 audio"}));
  EXPECT_EQ(diff(two, TimelineModel{}), (Lines{"track_removed V1 video", "track_removed A1 audio"}));
}

TEST(TrackPairing, RenamedTrackPairsByKindAndCarriesNewName) {
  EXPECT_EQ(diff(TimelineModel{{video("V1", shots("A"))}}, TimelineModel{{video("Main", shots("AB"))}}),
            Lines{"Main: added B@1"});
  // An unnamed after track reports under the before track's name.
  EXPECT_EQ(diff(TimelineModel{{video("V1", shots("A"))}}, TimelineModel{{video("", shots("AB"))}}),
            Lines{"V1: added B@1"});
  EXPECT_EQ(diff(TimelineModel{{video("", shots("A"))}}, TimelineModel{{video("", shots("AB"))}}),
            Lines{": added B@1"});
}

TEST(TrackPairing, TwoRenamedTracksPairInOrder) {
  EXPECT_EQ(diff(TimelineModel{{video("V1", shots("A")), video("V2", shots("B"))}},
                 TimelineModel{{video("X", shots("A")), video("Y", shots("B"))}}),
            Lines{});
}

TEST(TrackPairing, NameBeatsOrder) {
  EXPECT_EQ(diff(TimelineModel{{video("V1", shots("A")), video("V2", shots("B"))}},
                 TimelineModel{{video("V2", shots("B")), video("V1", shots("A"))}}),
            Lines{});
  // Of two before tracks with the name, the first unpaired one is taken.
  EXPECT_EQ(diff(TimelineModel{{video("V", shots("A")), video("V", shots("B"))}},
                 TimelineModel{{video("V", shots("B"))}}),
            (Lines{"V: removed A@0", "V: added B@0", "track_removed V video"}));
}

TEST(TrackPairing, KindFallbackIsGreedy) {
  // X takes the before track named A, so the after track A finds none.
  EXPECT_EQ(diff(TimelineModel{{video("A", shots("P"))}},
                 TimelineModel{{video("X", shots("P")), video("A", shots("Q"))}}),
            Lines{"track_added A video"});
  // The fallback skips tracks of other kinds and paired tracks.
  EXPECT_EQ(diff(TimelineModel{{audio("A1", shots("S")), video("V1", shots("P")), video("V2", shots("Q"))}},
                 TimelineModel{{video("V1", shots("P")), video("Main", shots("Q"))}}),
            Lines{"track_removed A1 audio"});
}

TEST(TrackPairing, KindChangeIsRemoveAndAdd) {
  EXPECT_EQ(diff(TimelineModel{{video("V", shots("AB"))}}, TimelineModel{{audio("V", shots("AB"))}}),
            (Lines{"track_removed V video", "track_added V audio"}));
  EXPECT_EQ(diff(TimelineModel{{audio("V", shots("A"))}}, TimelineModel{{video("V", shots("A"))}}),
            (Lines{"track_removed V audio", "track_added V video"}));
  const TrackModel other{"fx", TrackKind::Other, shots("A")};
  EXPECT_EQ(diff(TimelineModel{{other}}, TimelineModel{{TrackModel{"", TrackKind::Other, shots("AB")}}}),
            Lines{"fx: added B@1"});
}

TEST(TrackPairing, ResultOrder) {
  const TimelineModel before{{video("V1", shots("A")), audio("A1", shots("S")), video("old", shots("O"))}};
  const TimelineModel after{{audio("A1", shots("ST")), video("V1", shots("B")),
                             TrackModel{"new", TrackKind::Other, shots("N")}, audio("A2", {})}};
  EXPECT_EQ(diff(before, after), (Lines{"A1: added T@1", "V1: removed A@0", "V1: added B@0", "track_removed old video",
                                        "track_added new other", "track_added A2 audio"}));
}

TEST(TrackPairing, NoMovesAcrossTracks) {
  EXPECT_EQ(diff(TimelineModel{{video("V1", shots("AB")), video("V2", shots("C"))}},
                 TimelineModel{{video("V1", shots("A")), video("V2", shots("CB"))}}),
            (Lines{"V1: removed B@1", "V2: added B@1"}));
}

// Timelines that differ from themselves in nothing.
std::vector<TimelineModel> self_same_timelines() {
  return {
      TimelineModel{},
      TimelineModel{{video("", {}), audio("", {})}},
      TimelineModel{{video("V1", {shot("A"), transition("D"), gap(), shot("B"), transition("E", std::nullopt)}),
                     audio("A1", shots("AAB")), video("V1", shots("BA"))}},
      TimelineModel{{video("V1", {clip("", "m", range(0, 24)), clip("", "m", range(0, 24)),
                                  clip("n", std::nullopt, std::nullopt, 4), clip("n", std::nullopt, std::nullopt, 4),
                                  clip("p", "m", std::nullopt)})}},
  };
}

TEST(Diff, TimelineAgainstItselfIsEmpty) {
  for (const TimelineModel& t : self_same_timelines()) EXPECT_EQ(diff(t, t), Lines{});
}

TEST(Diff, InsertingGapsChangesNothing) {
  const TimelineModel before{{video("V1", {shot("A"), shot("B"), shot("C")})}};
  const TimelineModel after{{video("V1", {gap(), shot("A"), gap(), shot("B"), gap(), gap(), shot("C"), gap()})}};
  EXPECT_EQ(diff(before, after), Lines{});
}

// --- Payloads ----------------------------------------------------------------

struct PayloadCase {
  const char* label;
  ChangeRecord record;
  ChangeKind kind;
  const char* json;
};

class Payload : public testing::TestWithParam<PayloadCase> {};

TEST_P(Payload, CanonicalText) {
  EXPECT_EQ(GetParam().record.kind(), GetParam().kind);
  EXPECT_EQ(canonical_json(change_to_json(GetParam().record)), GetParam().json);
}

const ClipRef kIntro{"Intro", "M"};
const ClipRef kOutro{"Outro", std::nullopt};

INSTANTIATE_TEST_SUITE_P(
    AllKinds, Payload,
    testing::Values(
        PayloadCase{"track_added", {change::TrackAdded{"V1", TrackKind::Video}}, ChangeKind::TrackAdded,
                    R"({"kind":"video","name":"V1","op":"track_added"})"},
        PayloadCase{"track_removed", {change::TrackRemoved{"", TrackKind::Other}}, ChangeKind::TrackRemoved,
                    R"({"kind":"other","name":"","op":"track_removed"})"},
        PayloadCase{"trimmed",
                    {change::Trimmed{kIntro, "V1", range(10, 48), {{12, 23.976}, {40.5, 24}}}},
                    ChangeKind::Trimmed,
                    R"({"after":{"duration":{"rate":24.0,"value":40.5},"start_time":{"rate":23.976,"value":12.0}},)"
                    R"("before":{"duration":{"rate":24.0,"value":48.0},"start_time":{"rate":24.0,"value":10.0}},)"
                    R"("clip":{"media_reference":"M","name":"Intro"},"op":"trimmed","track":"V1"})"},
        PayloadCase{"moved_to_front",
                    {change::Moved{kIntro, "V1", 2, "V1", 0, kOutro, std::nullopt}},
                    ChangeKind::Moved,
                    R"({"after_neighbor":{"media_reference":null,"name":"Outro"},"before_neighbor":null,)"
                    R"("clip":{"media_reference":"M","name":"Intro"},"from_index":2,"from_track":"V1","op":"moved",)"
                    R"("to_index":0,"to_track":"V1"})"},
        PayloadCase{"moved_to_back",
                    {change::Moved{kOutro, "V1", 0, "V1", 1, std::nullopt, kIntro}},
                    ChangeKind::Moved,
                    R"({"after_neighbor":null,"before_neighbor":{"media_reference":"M","name":"Intro"},)"
                    R"("clip":{"media_reference":null,"name":"Outro"},"from_index":0,"from_track":"V1","op":"moved",)"
                    R"("to_index":1,"to_track":"V1"})"},
        PayloadCase{"added", {change::Added{kOutro, "A1", 3}}, ChangeKind::Added,
                    R"({"clip":{"media_reference":null,"name":"Outro"},"index":3,"op":"added","track":"A1"})"},
        PayloadCase{"removed", {change::Removed{kIntro, "A1", 0}}, ChangeKind::Removed,
                    R"({"clip":{"media_reference":"M","name":"Intro"},"index":0,"op":"removed","track":"A1"})"},
        PayloadCase{"effects_changed", {change::EffectsChanged{kIntro, "V1", 0, 2}}, ChangeKind::EffectsChanged,
                    R"({"after":2,"before":0,"clip":{"media_reference":"M","name":"Intro"},)"
                    R"("op":"effects_changed","track":"V1"})"},
        PayloadCase{"replaced_from_none", {change::Replaced{kIntro, "V1", std::nullopt, "M"}}, ChangeKind::Replaced,
                    R"({"after_media":"M","before_media":null,"clip":{"media_reference":"M","name":"Intro"},)"
                    R"("op":"replaced","track":"V1"})"},
        PayloadCase{"transition_added",
                    {change::TransitionAdded{"V1", kIntro, std::nullopt, "Dissolve", RationalTime{12, 24}}},
                    ChangeKind::TransitionAdded,
                    R"({"between_after":null,"between_before":{"media_reference":"M","name":"Intro"},)"
                    R"("duration":{"rate":24.0,"value":12.0},"name":"Dissolve","op":"transition_added","track":"V1"})"},
        PayloadCase{"transition_added_without_duration",
                    {change::TransitionAdded{"V1", kIntro, kOutro, "", std::nullopt}},
                    ChangeKind::TransitionAdded,
                    R"({"between_after":{"media_reference":null,"name":"Outro"},)"
                    R"("between_before":{"media_reference":"M","name":"Intro"},"duration":null,"name":"",)"
                    R"("op":"transition_added","track":"V1"})"},
        PayloadCase{"transition_removed",
                    {change::TransitionRemoved{"V1", kIntro, kOutro, "Dissolve"}},
                    ChangeKind::TransitionRemoved,
                    R"({"between_after":{"media_reference":null,"name":"Outro"},)"
                    R"("between_before":{"media_reference":"M","name":"Intro"},"name":"Dissolve",)"
                    R"("op":"transition_removed","track":"V1"})"},
        PayloadCase{"non_finite_times",
                    {change::TransitionAdded{"V1", std::nullopt, std::nullopt, "D",
                                             RationalTime{kNaN, std::numeric_limits<double>::infinity()}}},
                    ChangeKind::TransitionAdded,
                    R"({"between_after":null,"between_before":null,"duration":{"rate":null,"value":null},"name":"D",)"
                    R"("op":"transition_added","track":"V1"})"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(OpName, EveryKind) {
  const std::vector<std::pair<ChangeKind, std::string_view>> table = {
      {ChangeKind::TrackAdded, "track_added"},
      {ChangeKind::TrackRemoved, "track_removed"},
      {ChangeKind::Trimmed, "trimmed"},
      {ChangeKind::Moved, "moved"},
      {ChangeKind::Added, "added"},
      {ChangeKind::Removed, "removed"},
      {ChangeKind::EffectsChanged, "effects_changed"},
      {ChangeKind::Replaced, "replaced"},
      {ChangeKind::TransitionAdded, "transition_added"},
      {ChangeKind::TransitionRemoved, "transition_removed"},
  };
  ASSERT_EQ(table.size(), kChangeKindCount);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(table[i].first), i);
    EXPECT_EQ(op_name(table[i].first), table[i].second);
  }
}

// --- From documents ----------------------------------------------------------

// A Clip.2 child as OpenTimelineIO writes it, with an external reference
// for each URL under the given keys.
std::string clip2(std::string_view name, std::string_view start,
                  std::vector<std::pair<std::string_view, std::string_view>> references,
                  std::string_view active = "DEFAULT_MEDIA") {
  std::string refs;
  for (const auto& [key, url] : references) {
    if (!refs.empty()) refs += ",";
    refs.append("\"").append(key);
    refs.append(R"(":{"OTIO_SCHEMA":"ExternalReference.1","metadata":{},"name":"",)");
    refs.append(R"("available_range":null,"available_image_bounds":null,"target_url":")").append(url).append("\"}");
  }
  return R"({"OTIO_SCHEMA":"Clip.2","metadata":{},"name":")" + std::string(name) +
         R"(","source_range":{"OTIO_SCHEMA":"TimeRange.1",)"
         R"("duration":{"OTIO_SCHEMA":"RationalTime.1","rate":24.0,"value":48.0},)"
         R"("start_time":{"OTIO_SCHEMA":"RationalTime.1","rate":24.0,"value":)" +
         std::string(start) + R"(}},"effects":[],"markers":[],"enabled":true,"color":null,"media_references":{)" +
         refs + R"(},"active_media_reference_key":")" + std::string(active) + "\"}";
}

// The older form with a single "media_reference" member.
std::string clip1(std::string_view name, std::string_view start, std::string_view url) {
  return R"({"OTIO_SCHEMA":"Clip.1","name":")" + std::string(name) +
         R"(","source_range":{"duration":{"rate":24,"value":48},"start_time":{"rate":24,"value":)" +
         std::string(start) + R"(}},"media_reference":{"OTIO_SCHEMA":"ExternalReference.1","target_url":")" +
         std::string(url) + "\"}}";
}

TimelineModel document(const std::string& clips) {
  Result<JsonValue> v = parse_json(R"({"OTIO_SCHEMA":"Timeline.1","tracks":{"OTIO_SCHEMA":"Stack.1","children":[)"
                                   R"({"OTIO_SCHEMA":"Track.1","name":"V1","kind":"Video","children":[)" +
                                   clips + "]}]}}");
  EXPECT_TRUE(v) << (v ? "" : v.error().message());
  if (!v) return {};
  Result<TimelineModel> model = read_otio_timeline(*v);
  EXPECT_TRUE(model) << (model ? "" : model.error().message());
  return model ? *model : TimelineModel{};
}

std::vector<std::string> payloads(const TimelineModel& before, const TimelineModel& after) {
  std::vector<std::string> out;
  for (const ChangeRecord& r : diff_timelines(before, after)) out.push_back(canonical_json(change_to_json(r)));
  return out;
}

TEST(Documents, ReplacementBetweenClip2Documents) {
  const TimelineModel before = document(clip2("A", "10.0", {{"DEFAULT_MEDIA", "file:///a.mov"}}));
  const TimelineModel after = document(clip2("A", "10.0", {{"DEFAULT_MEDIA", "file:///b.mov"}}));
  EXPECT_EQ(payloads(before, after),
            Lines{R"({"after_media":"file:///b.mov","before_media":"file:///a.mov",)"
                  R"("clip":{"media_reference":"file:///b.mov","name":"A"},"op":"replaced","track":"V1"})"});
  // Switching the active reference is a replacement too.
  const TimelineModel proxy =
      document(clip2("A", "10.0", {{"DEFAULT_MEDIA", "file:///a.mov"}, {"proxy", "file:///p.mov"}}, "proxy"));
  EXPECT_EQ(diff(before, proxy), Lines{"V1: replaced A file:///a.mov->file:///p.mov"});
}

TEST(Documents, UnnamedClip2ClipsPairOnMedia) {
  const TimelineModel before = document(clip2("", "0.0", {{"DEFAULT_MEDIA", "file:///a.mov"}}) + "," +
                                        clip2("", "0.0", {{"DEFAULT_MEDIA", "file:///b.mov"}}));
  const TimelineModel after = document(clip2("", "0.0", {{"DEFAULT_MEDIA", "file:///b.mov"}}) + "," +
                                       clip2("", "5.0", {{"DEFAULT_MEDIA", "file:///a.mov"}}));
  EXPECT_EQ(diff(before, after), (Lines{"V1: trimmed ", "V1: moved  0->1 (,-)"}));
}

TEST(Documents, OldAndNewClipFormsReadAlike) {
  const TimelineModel old_form = document(clip1("A", "10", "file:///a.mov") + "," + clip1("B", "0", "file:///b.mov"));
  const TimelineModel new_form = document(clip2("A", "10.0", {{"DEFAULT_MEDIA", "file:///a.mov"}}) + "," +
                                          clip2("B", "0.0", {{"DEFAULT_MEDIA", "file:///b.mov"}}));
  EXPECT_EQ(diff(old_form, new_form), Lines{});
  EXPECT_EQ(diff(new_form, new_form), Lines{});
  const TimelineModel renamed = document(clip2("A2", "10.0", {{"DEFAULT_MEDIA", "file:///a.mov"}}) + "," +
                                         clip1("B", "0", "file:///c.mov"));
  EXPECT_EQ(diff(new_form, renamed), Lines{"V1: replaced B file:///b.mov->file:///c.mov"});
}

}  // namespace
}  // namespace tesmo
