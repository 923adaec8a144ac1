#include "core/timeline/compare.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/store/object.h"
#include "core/timeline/cut.h"
#include "core/value/json.h"
#include "temp_dir.h"
#include "timeline_builders.h"

namespace tesmo {
namespace {

using namespace testing_support;

// --- Reading results ---------------------------------------------------------

std::string index_text(std::size_t i) { return i == kNoIndex ? "-" : std::to_string(i); }

// "trimmed V1 4>4", "moved V1>V2 3>0", "track_added V2 ->-".
std::vector<std::string> summary(const JsonValue& before, const JsonValue& after) {
  Result<Cut> b = read_cut(before);
  Result<Cut> a = read_cut(after);
  EXPECT_TRUE(b && a);
  const Comparison c = compare_cuts(*b, *a);
  std::vector<std::string> out;
  for (const Edit& e : c.edits) {
    std::string line(edit_op_name(e.op));
    const std::string bt = e.before_track == kNoIndex ? "" : b->tracks[e.before_track].label;
    const std::string at = e.after_track == kNoIndex ? "" : a->tracks[e.after_track].label;
    line += " " + (bt == at || bt.empty() ? at : at.empty() ? bt : bt + ">" + at);
    line += " " + index_text(e.before_index) + ">" + index_text(e.after_index);
    out.push_back(line);
  }
  return out;
}

JsonValue record(const JsonValue& before, const JsonValue& after, std::size_t n = 0) {
  Result<Cut> b = read_cut(before);
  Result<Cut> a = read_cut(after);
  const Comparison c = compare_cuts(*b, *a);
  if (n >= c.edits.size()) return JsonValue();
  return edit_json(*b, *a, c.edits[n]);
}

const JsonValue& member(const JsonValue& record, std::string_view key) {
  static const JsonValue missing = JsonValue("<missing>");
  const JsonObject* o = std::get_if<JsonObject>(&record.data);
  const JsonValue* v = o ? o->find(key) : nullptr;
  return v ? *v : missing;
}

// --- One edit, one record ----------------------------------------------------

struct EditCase {
  const char* what;
  std::function<void(JsonValue&)> edit;
  std::vector<std::string> expected;
};

class OneEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(OneEdit, ReadsAsExactlyItsRecords) {
  const JsonValue before = timeline({track("Video", same_named(12)), track("Audio", same_named(12))});
  JsonValue after = before;
  GetParam().edit(after);
  EXPECT_EQ(summary(before, after), GetParam().expected);
}

JsonValue effect(std::string schema, std::string name) {
  return JsonObject{{"OTIO_SCHEMA", std::move(schema)}, {"effect_name", std::move(name)}, {"name", ""}};
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedNames, OneEdit,
    ::testing::Values(
        EditCase{"nothing", [](JsonValue&) {}, {}},
        EditCase{"tail trim", [](JsonValue& d) { set_time(item(d, 0, 4), "duration", 40); }, {"trimmed V1 4>4"}},
        EditCase{"head trim",
                 [](JsonValue& d) {
                   JsonObject& c = item(d, 0, 4);
                   set_time(c, "start_time", time_of(c, "start_time") + 8);
                   set_time(c, "duration", 40);
                 },
                 {"trimmed V1 4>4"}},
        EditCase{"slip", [](JsonValue& d) { set_time(item(d, 1, 7), "start_time", 712); }, {"slipped A1 7>7"}},
        EditCase{"removal", [](JsonValue& d) { children(d, 0).erase(children(d, 0).begin() + 9); },
                 {"removed V1 9>-"}},
        EditCase{"relink",
                 [](JsonValue& d) { item(d, 0, 5).insert("media_references", JsonObject{{"DEFAULT_MEDIA",
                        JsonObject{{"OTIO_SCHEMA", "ExternalReference.1"}, {"target_url", "file:///other.mov"}}}}); },
                 {"replaced V1 5>5"}},
        EditCase{"adjacent swap", [](JsonValue& d) { std::swap(children(d, 0)[3], children(d, 0)[4]); },
                 {"moved V1 3>4"}},
        EditCase{"move far",
                 [](JsonValue& d) {
                   JsonArray& v = children(d, 0);
                   JsonValue moved = v[2];
                   v.erase(v.begin() + 2);
                   v.insert(v.begin() + 9, moved);
                 },
                 {"moved V1 2>9"}},
        EditCase{"move to another track",
                 [](JsonValue& d) {
                   JsonValue moved = children(d, 0)[6];
                   children(d, 0).erase(children(d, 0).begin() + 6);
                   JsonArray& tracks = std::get<JsonArray>(
                       std::get<JsonObject>(std::get<JsonObject>(d.data).find("tracks")->data).find("children")->data);
                   tracks.insert(tracks.begin() + 1, track("Video", JsonArray{moved}));
                 },
                 {"track_added V2 ->-", "moved V1>V2 6>0"}},
        EditCase{"insertion",
                 [](JsonValue& d) {
                   children(d, 0).insert(children(d, 0).begin() + 3, clip({"new.mov", "file:///new.mov", 0, 30}));
                 },
                 {"added V1 ->3"}},
        EditCase{"effect",
                 [](JsonValue& d) { item(d, 0, 2).insert("effects", JsonArray{effect("Effect.1", "Blur")}); },
                 {"effects_changed V1 2>2"}},
        EditCase{"speed",
                 [](JsonValue& d) {
                   JsonValue warp = JsonObject{{"OTIO_SCHEMA", "LinearTimeWarp.1"}, {"time_scalar", 2.0}};
                   item(d, 0, 2).insert("effects", JsonArray{warp});
                 },
                 {"retimed V1 2>2"}},
        EditCase{"disable", [](JsonValue& d) { item(d, 1, 0).insert("enabled", false); }, {"enabled_changed A1 0>0"}},
        EditCase{"rename", [](JsonValue& d) { item(d, 0, 11).insert("name", "hero"); }, {"renamed V1 11>11"}},
        EditCase{"marker",
                 [](JsonValue& d) {
                   item(d, 0, 1).insert("markers", JsonArray{JsonObject{{"OTIO_SCHEMA", "Marker.2"}, {"name", "fix"}}});
                 },
                 {"markers_changed V1 1>1"}},
        EditCase{"metadata",
                 [](JsonValue& d) { item(d, 0, 1).insert("metadata", JsonObject{{"reel", "A001"}}); },
                 {"metadata_changed V1 1>1"}},
        EditCase{"transition added",
                 [](JsonValue& d) { children(d, 0).insert(children(d, 0).begin() + 5, transition("dissolve")); },
                 {"transition_added V1 ->5"}},
        EditCase{"track renamed",
                 [](JsonValue& d) {
                   JsonArray& tracks = std::get<JsonArray>(
                       std::get<JsonObject>(std::get<JsonObject>(d.data).find("tracks")->data).find("children")->data);
                   std::get<JsonObject>(tracks[1].data).insert("name", "dialogue");
                 },
                 {"track_renamed A1 ->-"}},
        EditCase{"track removed",
                 [](JsonValue& d) {
                   JsonArray& tracks = std::get<JsonArray>(
                       std::get<JsonObject>(std::get<JsonObject>(d.data).find("tracks")->data).find("children")->data);
                   tracks.erase(tracks.begin());
                 },
                 {"track_removed V1 ->-"}},
        EditCase{"several on one track",
                 [](JsonValue& d) {
                   set_time(item(d, 0, 1), "duration", 30);
                   item(d, 0, 6).insert("name", "hero");
                   children(d, 0).erase(children(d, 0).begin() + 9);
                 },
                 {"trimmed V1 1>1", "renamed V1 6>6", "removed V1 9>-"}}),
    [](const ::testing::TestParamInfo<EditCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// --- Records ------------------------------------------------------------------

TEST(CompareRecord, TrimSignsAreFramesGained) {
  const JsonValue before = timeline({track("Video", same_named(3))});
  JsonValue after = before;
  JsonObject& c = item(after, 0, 1);
  set_time(c, "start_time", time_of(c, "start_time") - 4);  // 4 frames gained at the head
  set_time(c, "duration", 48 + 4 - 10);                     // and 10 lost at the tail
  const JsonValue r = record(before, after);
  EXPECT_EQ(member(r, "op"), JsonValue("trimmed"));
  EXPECT_EQ(member(r, "head"), JsonValue(4));
  EXPECT_EQ(member(r, "tail"), JsonValue(-10));
  EXPECT_EQ(member(r, "rate"), JsonValue(24));
  EXPECT_EQ(member(r, "track"), JsonValue("V1"));
  EXPECT_EQ(member(r, "track_name"), JsonValue(""));
}

TEST(CompareRecord, LargeSourceOffsetIsWholeFrames) {
  // A re-export that moves every source start by a timecode offset.
  const JsonValue before = timeline({track("Video", same_named(2))});
  JsonValue after = before;
  set_time(item(after, 0, 0), "start_time", 1296550);
  const JsonValue r = record(before, after);
  EXPECT_EQ(member(r, "op"), JsonValue("slipped"));
  EXPECT_EQ(member(r, "offset"), JsonValue(1296550));
  EXPECT_EQ(canonical_json(member(r, "offset")), "1296550");
}

TEST(CompareRecord, RecordTimesCountGapsButPositionsDoNot) {
  const JsonValue before = timeline({track("Video", {clip({"a", "a.mov", 0, 24}), gap(10), clip({"b", "b.mov", 0, 24})})});
  JsonValue after = before;
  set_time(item(after, 0, 2), "duration", 20);
  const JsonValue r = record(before, after);
  EXPECT_EQ(member(r, "before_index"), JsonValue(1));
  EXPECT_EQ(member(r, "after_index"), JsonValue(1));
  EXPECT_EQ(canonical_json(member(r, "record_in")), R"({"rate":24,"value":34})");
  EXPECT_EQ(canonical_json(member(r, "record_out")), R"({"rate":24,"value":54})");
}

TEST(CompareRecord, EffectsNameWhatChanged) {
  const JsonValue before = timeline({track("Video", same_named(2))});
  JsonValue after = before;
  item(after, 0, 0).insert("effects", JsonArray{effect("Effect.1", "Blur"), effect("Effect.1", "Grade")});
  JsonValue middle = before;
  item(middle, 0, 0).insert("effects", JsonArray{effect("Effect.1", "Grade")});
  const JsonValue r = record(middle, after);
  EXPECT_EQ(member(r, "added"), JsonValue(JsonArray{"Blur"}));
  EXPECT_EQ(member(r, "removed"), JsonValue(JsonArray{}));
  EXPECT_EQ(member(r, "after_effects"), JsonValue(JsonArray{"Blur", "Grade"}));
}

TEST(CompareRecord, MetadataNamesItsKeys) {
  const JsonValue before = timeline({track("Video", same_named(1))});
  JsonValue a = before, b = before;
  item(a, 0, 0).insert("metadata", JsonObject{{"keep", 1}, {"gone", 2}, {"edit", 3}});
  item(b, 0, 0).insert("metadata", JsonObject{{"keep", 1}, {"edit", 4}, {"new", 5}});
  EXPECT_EQ(member(record(a, b), "keys"), JsonValue(JsonArray{"edit", "gone", "new"}));
}

TEST(CompareRecord, ElementIdsOfExchangeFilesAreNotChanges) {
  const JsonValue base = timeline({track("Video", same_named(1))});
  const auto with = [&](JsonObject fcp) {
    JsonValue v = base;
    item(v, 0, 0).insert("metadata", JsonObject{{"fcp_xml", std::move(fcp)}, {"note", "keep"}});
    return v;
  };
  const JsonValue first = with(JsonObject{{"@frameBlend", "FALSE"}, {"@id", "clipitem-1"}});
  const JsonValue renumbered = with(JsonObject{{"@frameBlend", "FALSE"}, {"@id", "clipitem-7"}});
  const JsonValue blended = with(JsonObject{{"@frameBlend", "TRUE"}, {"@id", "clipitem-7"}});
  EXPECT_EQ(summary(first, renumbered), std::vector<std::string>{});
  EXPECT_EQ(summary(first, blended), std::vector<std::string>{"metadata_changed V1 0>0"});
  EXPECT_EQ(member(record(first, blended), "keys"), JsonValue(JsonArray{"fcp_xml"}));
}

// --- Tracks --------------------------------------------------------------------

TEST(CompareTracks, UnnamedTracksKeepTheirLabelsWhenOneIsInserted) {
  // Premiere-style: three unnamed video tracks; a new one goes in second.
  const JsonValue before = timeline({track("Video", same_named(3, "a.mov")), track("Video", same_named(3, "b.mov")),
                                     track("Audio", same_named(2, "c.wav"))});
  JsonValue after = before;
  set_time(item(after, 1, 2), "duration", 30);
  JsonArray& tracks = std::get<JsonArray>(
      std::get<JsonObject>(std::get<JsonObject>(after.data).find("tracks")->data).find("children")->data);
  tracks.insert(tracks.begin() + 1, track("Video", same_named(2, "n.mov")));
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"track_added V2 ->-", "trimmed V2>V3 2>2"}));
}

TEST(CompareTracks, ATrackWhoseEveryClipChangedStillPairs) {
  JsonArray before_clips, after_clips;
  for (int i = 0; i < 3000; ++i) {
    before_clips.push_back(clip({"c" + std::to_string(i), "", 0, 10}));
    after_clips.push_back(clip({"c" + std::to_string(i), "", 0, 12}));
  }
  const std::vector<std::string> s =
      summary(timeline({track("Video", before_clips, "V1")}), timeline({track("Video", after_clips, "V1")}));
  ASSERT_EQ(s.size(), 3000u);
  EXPECT_EQ(s.front(), "trimmed V1 0>0");
  EXPECT_EQ(s.back(), "trimmed V1 2999>2999");
}

TEST(CompareTracks, KindsNeverPair) {
  const JsonValue before = timeline({track("Video", same_named(2))});
  const JsonValue after = timeline({track("Audio", same_named(2))});
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"track_added A1 ->-", "track_removed V1 ->-"}));
}

TEST(CompareTracks, ClipMovedToAnotherTrackOfItsKind) {
  const JsonValue before =
      timeline({track("Video", same_named(4, "a.mov")), track("Video", same_named(4, "b.mov"))});
  JsonValue after = before;
  JsonValue moved = children(after, 0)[1];
  children(after, 0).erase(children(after, 0).begin() + 1);
  children(after, 1).push_back(moved);
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"moved V1>V2 1>4"}));
}

// --- Transitions ---------------------------------------------------------------

TEST(CompareTransitions, RemovedAndChangedAtTheirCuts) {
  JsonArray clips = same_named(4);
  clips.insert(clips.begin() + 1, transition("d1"));
  clips.insert(clips.begin() + 3, transition("d2"));
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = before;
  children(after, 0).erase(children(after, 0).begin() + 1);                   // d1 gone
  std::get<JsonObject>(children(after, 0)[2].data).insert("in_offset", rt(12));  // d2 longer
  EXPECT_EQ(summary(before, after),
            (std::vector<std::string>{"transition_removed V1 1>-", "transition_changed V1 2>2"}));
}

TEST(CompareTransitions, ClipRemovedWithItsTransition) {
  JsonArray clips = same_named(4);
  clips.insert(clips.begin() + 2, transition("d"));  // between clips 1 and 2
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = timeline({track("Video", same_named(4))});
  children(after, 0).erase(children(after, 0).begin() + 2);
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"transition_removed V1 2>-", "removed V1 2>-"}));
}

// --- A recut --------------------------------------------------------------------

TEST(CompareRecut, ClipsChangedAroundAMoveStillPair) {
  // The first clip moves to the end while its neighbours are trimmed,
  // relinked, removed and joined by a new one: the moved clip must not cut
  // the others off from their old selves.
  JsonArray clips;
  for (const char* name : {"alpha", "bravo", "charlie", "delta", "echo"}) {
    clips.push_back(clip({name, std::string("/media/") + name + ".mov", 10, 48}));
  }
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = before;
  JsonArray& v = children(after, 0);
  set_time(std::get<JsonObject>(v[1].data), "duration", 36);
  v[2] = clip({"charlie", "/media/charlie_v2.mov", 10, 48});
  v.erase(v.begin() + 3);
  v.insert(v.begin() + 3, clip({"foxtrot", "/media/foxtrot.mov", 5, 30}));
  JsonValue alpha = v[0];
  v.erase(v.begin());
  v.insert(v.begin() + 3, alpha);
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"trimmed V1 1>0", "replaced V1 2>1", "removed V1 3>-",
                                                              "added V1 ->2", "moved V1 0>3"}));
}

// --- Hard inputs ---------------------------------------------------------------

TEST(CompareHard, IdenticalClipsAreNotReportedAsMoves) {
  // The same shot cut in three times; one of the copies removed.
  JsonArray clips;
  for (const char* m : {"x", "a", "x", "b", "x", "c"}) clips.push_back(clip({m, std::string(m) + ".mov", 0, 24}));
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = before;
  children(after, 0).erase(children(after, 0).begin() + 2);
  EXPECT_EQ(summary(before, after), (std::vector<std::string>{"removed V1 2>-"}));
}

TEST(CompareHard, ThousandsOfEqualClipsStayLinear) {
  JsonArray clips;
  for (int i = 0; i < 20000; ++i) clips.push_back(clip({"x", "x.mov", 0, 24}));
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = before;
  children(after, 0).erase(children(after, 0).begin() + 10000);
  const std::vector<std::string> s = summary(before, after);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].substr(0, 10), "removed V1");
}

TEST(CompareHard, ReversedTrackMovesAllButOne) {
  JsonArray clips;
  for (int i = 0; i < 50; ++i) clips.push_back(clip({"c" + std::to_string(i), "m.mov", 100.0 * i, 24}));
  const JsonValue before = timeline({track("Video", clips)});
  JsonValue after = before;
  std::reverse(children(after, 0).begin(), children(after, 0).end());
  const std::vector<std::string> s = summary(before, after);
  EXPECT_EQ(s.size(), 49u);
  for (const std::string& line : s) EXPECT_EQ(line.substr(0, 8), "moved V1");
}

TEST(CompareHard, NestedStacksTakeTimeButAreNotClips) {
  JsonValue nested = JsonObject{{"OTIO_SCHEMA", "Stack.1"},
                                {"children", JsonArray{track("Video", {clip({"n", "n.mov", 0, 30})})}}};
  const JsonValue before = timeline({track("Video", {nested, clip({"a", "a.mov", 0, 24})})});
  JsonValue after = before;
  set_time(item(after, 0, 1), "duration", 12);
  const JsonValue r = record(before, after);
  EXPECT_EQ(member(r, "before_index"), JsonValue(0));
  EXPECT_EQ(canonical_json(member(r, "record_in")), R"({"rate":24,"value":30})");
}

}  // namespace
}  // namespace tesmo

namespace tesmo {
namespace {

// --- Reading a history ---------------------------------------------------------

class StoredCuts : public testing_support::TempDir {};

// Each version read in turn must be the cut read on its own: clips taken
// over from the version before keep their content but get their new places.
TEST_F(StoredCuts, ReadInTurnEqualsReadAlone) {
  const std::string objects = path("objects");
  std::filesystem::create_directories(objects);
  JsonValue version = timeline({track("Video", same_named(8)), track("Audio", same_named(3, "a.wav"))});
  std::vector<std::pair<std::string, JsonValue>> stored;
  const auto store = [&](const JsonValue& v) {
    Result<std::string> id = write_object(objects, v);
    ASSERT_TRUE(id) << id.error().message();
    stored.emplace_back(*id, v);
  };
  store(version);
  children(version, 0).erase(children(version, 0).begin());  // every later clip moves up
  store(version);
  item(version, 0, 3).insert("metadata", JsonObject{{"note", "check sync"}});
  std::swap(children(version, 0)[4], children(version, 0)[5]);
  store(version);
  store(version);  // the same version twice
  children(version, 0).insert(children(version, 0).begin() + 2, clip({"new", "new.mov", 0, 10}));
  store(version);

  StoredCutReader reader(objects);
  for (const auto& [id, value] : stored) {
    Result<Cut> in_turn = reader.read(id);
    Result<Cut> alone = read_cut(value);
    ASSERT_TRUE(in_turn && alone);
    ASSERT_EQ(in_turn->tracks.size(), alone->tracks.size());
    EXPECT_TRUE(compare_cuts(*alone, *in_turn).edits.empty());
    for (std::size_t t = 0; t < alone->tracks.size(); ++t) {
      ASSERT_EQ(in_turn->tracks[t].clips.size(), alone->tracks[t].clips.size());
      for (std::size_t i = 0; i < alone->tracks[t].clips.size(); ++i) {
        const CutClip& a = alone->tracks[t].clips[i];
        const CutClip& b = in_turn->tracks[t].clips[i];
        EXPECT_EQ(b.key, a.key);
        EXPECT_TRUE(b.metadata_text == a.metadata_text);
        ASSERT_TRUE(a.record_in && b.record_in);
        EXPECT_EQ(b.record_in->value, a.record_in->value) << "track " << t << " clip " << i;
        EXPECT_EQ(b.record_out->value, a.record_out->value);
      }
    }
  }
  EXPECT_FALSE(reader.read(std::string(64, '0')));
}

}  // namespace
}  // namespace tesmo
