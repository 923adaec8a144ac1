#include "core/timeline/merge.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/value/json.h"
#include "timeline_builders.h"

namespace tesmo {
namespace {

using namespace testing_support;

// --- Edits by clip name, so that applying two of them one after the other
// gives what a clean merge of them must give -----------------------------------

using Edit = std::function<void(JsonValue&)>;

JsonArray& tracks_of(JsonValue& doc) {
  return std::get<JsonArray>(
      std::get<JsonObject>(std::get<JsonObject>(doc.data).find("tracks")->data).find("children")->data);
}

// The track and index of the clip named `name`.
std::pair<std::size_t, std::size_t> find_clip(JsonValue& doc, const std::string& name) {
  JsonArray& tracks = tracks_of(doc);
  for (std::size_t t = 0; t < tracks.size(); ++t) {
    JsonArray& items = children(doc, t);
    for (std::size_t i = 0; i < items.size(); ++i) {
      const JsonValue* n = std::get<JsonObject>(items[i].data).find("name");
      if (n && n->get_string() && *n->get_string() == name) return {t, i};
    }
  }
  ADD_FAILURE() << "no clip " << name;
  return {0, 0};
}

JsonObject& named(JsonValue& doc, const std::string& name) {
  auto [t, i] = find_clip(doc, name);
  return item(doc, t, i);
}

Edit trim_tail(std::string name, double frames) {
  return [=](JsonValue& d) { set_time(named(d, name), "duration", time_of(named(d, name), "duration") - frames); };
}
Edit trim_head(std::string name, double frames) {
  return [=](JsonValue& d) {
    JsonObject& c = named(d, name);
    set_time(c, "start_time", time_of(c, "start_time") + frames);
    set_time(c, "duration", time_of(c, "duration") - frames);
  };
}
Edit relink(std::string name, std::string url) {
  return [=](JsonValue& d) {
    named(d, name).insert("media_references",
                          JsonObject{{"DEFAULT_MEDIA", JsonObject{{"OTIO_SCHEMA", "ExternalReference.1"}, {"target_url", url}}}});
  };
}
Edit effect(std::string name, std::string effect_name) {
  return [=](JsonValue& d) {
    named(d, name).insert("effects", JsonArray{JsonObject{{"OTIO_SCHEMA", "Effect.1"}, {"effect_name", effect_name}}});
  };
}
Edit metadata(std::string name, std::string key, std::string value) {
  return [=](JsonValue& d) {
    JsonObject& c = named(d, name);
    JsonValue* m = c.find("metadata");
    JsonObject meta = m && m->get_object() ? *m->get_object() : JsonObject();
    meta.insert(key, value);
    c.insert("metadata", std::move(meta));
  };
}
Edit remove(std::string name) {
  return [=](JsonValue& d) {
    auto [t, i] = find_clip(d, name);
    children(d, t).erase(children(d, t).begin() + static_cast<std::ptrdiff_t>(i));
  };
}
Edit insert_after(std::string after, std::string name) {
  return [=](JsonValue& d) {
    auto [t, i] = find_clip(d, after);
    children(d, t).insert(children(d, t).begin() + static_cast<std::ptrdiff_t>(i) + 1,
                          clip({name, "/media/" + name + ".mov", 0, 30}));
  };
}
Edit move_after(std::string name, std::string after) {
  return [=](JsonValue& d) {
    auto [t, i] = find_clip(d, name);
    JsonValue moved = children(d, t)[i];
    children(d, t).erase(children(d, t).begin() + static_cast<std::ptrdiff_t>(i));
    auto [u, j] = find_clip(d, after);
    children(d, u).insert(children(d, u).begin() + static_cast<std::ptrdiff_t>(j) + 1, moved);
  };
}
Edit transition_after(std::string name, std::string label) {
  return [=](JsonValue& d) {
    auto [t, i] = find_clip(d, name);
    children(d, t).insert(children(d, t).begin() + static_cast<std::ptrdiff_t>(i) + 1, transition(label));
  };
}
Edit add_track(std::string kind, std::string clip_name) {
  return [=](JsonValue& d) {
    tracks_of(d).push_back(track(kind, {clip({clip_name, "/media/" + clip_name + ".mov", 0, 24})}, clip_name));
  };
}
Edit remove_track(std::size_t t) {
  return [=](JsonValue& d) { tracks_of(d).erase(tracks_of(d).begin() + static_cast<std::ptrdiff_t>(t)); };
}
Edit both(Edit a, Edit b) {
  return [=](JsonValue& d) {
    a(d);
    b(d);
  };
}

JsonValue base_cut() {
  JsonArray picture, sound;
  for (const char* n : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    picture.push_back(clip({n, std::string("/media/") + n + ".mov", 100, 48}));
  }
  for (const char* n : {"w", "x", "y", "z"}) sound.push_back(clip({n, std::string("/media/") + n + ".wav", 0, 96}));
  return timeline({track("Video", picture, "picture"), track("Audio", sound, "sound")});
}

JsonValue applied(const Edit& edit) {
  JsonValue d = base_cut();
  edit(d);
  return d;
}

std::vector<std::string> kinds(const MergeResult& r) {
  std::vector<std::string> out;
  for (const MergeConflict& c : r.conflicts) out.push_back(c.kind);
  return out;
}

MergeResult merged(const JsonValue& b, const JsonValue& o, const JsonValue& t, MergeFavor f = MergeFavor::Ours) {
  Result<MergeResult> r = merge_timelines(b, o, t, f);
  EXPECT_TRUE(r) << (r ? "" : r.error().message());
  return r ? std::move(*r) : MergeResult{};
}

// --- Clean merges: both edits apply, whichever side is ours ----------------------

struct CleanCase {
  const char* what;
  Edit ours;
  Edit theirs;
  bool same_change = false;  // then the edit applies once
  bool either_order = true;  // whether swapping the sides gives the same document
};

class CleanMerge : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanMerge, AppliesBothEditsWhicheverSideIsOurs) {
  const JsonValue base = base_cut();
  const JsonValue ours = applied(GetParam().ours);
  const JsonValue theirs = applied(GetParam().theirs);
  const JsonValue expected = GetParam().same_change ? ours : applied(both(GetParam().ours, GetParam().theirs));
  const MergeResult r = merged(base, ours, theirs);
  EXPECT_EQ(kinds(r), std::vector<std::string>{});
  EXPECT_TRUE(r.timeline == expected) << canonical_json(r.timeline);
  const MergeResult swapped = merged(base, theirs, ours);
  EXPECT_EQ(kinds(swapped), std::vector<std::string>{});
  if (GetParam().either_order) EXPECT_TRUE(swapped.timeline == r.timeline) << canonical_json(swapped.timeline);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, CleanMerge,
    ::testing::Values(CleanCase{"same_change", trim_tail("c", 8), trim_tail("c", 8), true},
                      CleanCase{"trim_and_effect", trim_tail("c", 8), effect("c", "Blur")},
                      CleanCase{"head_and_tail", trim_head("c", 4), trim_tail("c", 10)},
                      CleanCase{"move_and_trim", move_after("b", "f"), trim_tail("b", 6)},
                      CleanCase{"removal_and_change_elsewhere", remove("b"), relink("g", "/media/g2.mov")},
                      CleanCase{"insert_and_change_elsewhere", insert_after("a", "new"), trim_head("h", 2)},
                      CleanCase{"inserts_apart", insert_after("a", "new1"), insert_after("e", "new2")},
                      CleanCase{"metadata_keys_apart", metadata("d", "reel", "A001"), metadata("d", "note", "ok")},
                      // New tracks at one place: ours' first.
                      CleanCase{"tracks_added_on_both", add_track("Video", "titles"), add_track("Audio", "score"),
                                false, false},
                      CleanCase{"same_track_added_on_both", add_track("Video", "titles"),
                                add_track("Video", "titles"), true},
                      CleanCase{"picture_and_sound", trim_tail("b", 4), remove("y")},
                      CleanCase{"transition_and_trim", transition_after("c", "dissolve"), trim_tail("f", 2)}),
    [](const ::testing::TestParamInfo<CleanCase>& info) { return std::string(info.param.what); });

// --- Conflicts -------------------------------------------------------------------

struct ConflictCase {
  const char* what;
  Edit ours;
  Edit theirs;
  std::vector<std::string> kinds;
  bool favored_is_whole_side = true;  // whether favoring a side gives that whole side
};

class ConflictMerge : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(ConflictMerge, ReportsItAndHoldsTheFavoredSide) {
  const JsonValue base = base_cut();
  const JsonValue ours = applied(GetParam().ours);
  const JsonValue theirs = applied(GetParam().theirs);
  const MergeResult r = merged(base, ours, theirs, MergeFavor::Ours);
  EXPECT_EQ(kinds(r), GetParam().kinds);
  // With only conflicting edits, favoring a side gives that side.
  const MergeResult t = merged(base, ours, theirs, MergeFavor::Theirs);
  EXPECT_EQ(kinds(t), GetParam().kinds);
  if (GetParam().favored_is_whole_side) {
    EXPECT_TRUE(r.timeline == ours) << canonical_json(r.timeline);
    EXPECT_TRUE(t.timeline == theirs) << canonical_json(t.timeline);
  }
  for (const MergeConflict& c : r.conflicts) {
    EXPECT_FALSE(c.track.empty());
    EXPECT_FALSE(c.message.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ConflictMerge,
    ::testing::Values(ConflictCase{"same_edge", trim_tail("c", 8), trim_tail("c", 4), {"trim"}},
                      ConflictCase{"relinked_apart", relink("c", "/media/c2.mov"), relink("c", "/media/c3.mov"), {"media"}},
                      ConflictCase{"effects_apart", effect("e", "Blur"), effect("e", "Grade"), {"effects"}},
                      ConflictCase{"removed_and_trimmed", remove("d"), trim_tail("d", 4), {"removed_and_changed"}},
                      ConflictCase{"trimmed_and_removed", trim_head("d", 4), remove("d"), {"removed_and_changed"}},
                      ConflictCase{"moved_apart", move_after("b", "e"), move_after("b", "g"), {"moved"}},
                      ConflictCase{"inserted_at_one_place", insert_after("c", "n1"), insert_after("c", "n2"),
                                   {"insert_order"}},
                      ConflictCase{"metadata_key_apart", metadata("a", "reel", "A1"), metadata("a", "reel", "B2"),
                                   {"member"}},
                      ConflictCase{"track_removed_and_changed", remove_track(1), trim_tail("x", 10),
                                   {"track_removed_and_changed"}},
                      // The cut is gone whichever side is favored; the removal holds.
                      ConflictCase{"transition_at_a_removed_cut", transition_after("c", "dissolve"), remove("d"),
                                   {"transition"}, false},
                      ConflictCase{"transitions_apart", transition_after("c", "dissolve"), transition_after("c", "wipe"),
                                   {"transition"}}),
    [](const ::testing::TestParamInfo<ConflictCase>& info) { return std::string(info.param.what); });

// --- Identities ------------------------------------------------------------------

TEST(MergeIdentity, OneUnchangedSideGivesTheOtherExactly) {
  const JsonValue base = base_cut();
  for (const Edit& edit : {both(move_after("a", "h"), remove("x")), both(insert_after("d", "n"), trim_head("b", 3)),
                           both(add_track("Video", "t"), transition_after("b", "d"))}) {
    const JsonValue side = applied(edit);
    EXPECT_TRUE(merged(base, side, base).timeline == side);
    EXPECT_TRUE(merged(base, base, side).timeline == side);
    EXPECT_TRUE(merged(base, side, side).timeline == side) << canonical_json(merged(base, side, side).timeline);
  }
}

TEST(MergeIdentity, MembersNobodyComparesSurvive) {
  JsonValue base = base_cut();
  std::get<JsonObject>(base.data).insert("metadata", JsonObject{{"show", "Harbour"}});
  JsonValue ours = base, theirs = base;
  std::get<JsonObject>(ours.data).insert("name", "cut v2");
  named(theirs, "e").insert("color", "RED");
  const MergeResult r = merged(base, ours, theirs);
  EXPECT_TRUE(r.conflicts.empty());
  const JsonObject& root = *r.timeline.get_object();
  EXPECT_EQ(*root.find("name"), JsonValue("cut v2"));
  EXPECT_EQ(*root.find("metadata"), JsonValue(JsonObject{{"show", "Harbour"}}));
  JsonValue result = r.timeline;
  EXPECT_EQ(*named(result, "e").find("color"), JsonValue("RED"));
}

TEST(MergeFailure, NotATimeline) {
  const JsonValue base = base_cut();
  EXPECT_FALSE(merge_timelines(base, JsonValue(JsonArray{}), base, MergeFavor::Ours));
}

// --- Warnings --------------------------------------------------------------------

TEST(MergeWarnings, SyncThatNeitherSideHad) {
  // Picture and sound of one take, side by side after clips of equal length;
  // each side shortens one of the clips before them.
  JsonValue base = timeline({track("Video", {clip({"v0", "/media/v0.mov", 0, 48}), clip({"take", "/media/take.mov", 0, 96})}),
                             track("Audio", {clip({"a0", "/media/a0.wav", 0, 48}), clip({"take", "/media/take.mov", 0, 96})})});
  const JsonValue ours = [&] { JsonValue d = base; trim_tail("v0", 10)(d); return d; }();
  JsonValue theirs = base;
  set_time(item(theirs, 1, 0), "duration", 38);
  const MergeResult r = merged(base, ours, theirs);
  EXPECT_TRUE(r.conflicts.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].kind, "sync");
  EXPECT_EQ(r.warnings[0].track, "V1");
  EXPECT_EQ(r.warnings[0].index, 1u);
  // Either side alone keeps its own offset: no warning.
  EXPECT_TRUE(merged(base, ours, base).warnings.empty());
}

TEST(MergeWarnings, SourceRangeOutsideTheNewMedia) {
  JsonValue base = timeline({track("Video", {clip({"c", "/media/c.mov", 10, 40})})});
  const auto available = [](JsonValue& d, double frames) {
    JsonObject& c = item(d, 0, 0);
    JsonObject refs = *c.find("media_references")->get_object();
    JsonObject ref = *refs.find("DEFAULT_MEDIA")->get_object();
    ref.insert("available_range", tr(0, frames));
    refs.insert("DEFAULT_MEDIA", std::move(ref));
    c.insert("media_references", std::move(refs));
  };
  available(base, 100);
  JsonValue ours = base;
  relink("c", "/media/short.mov")(ours);
  available(ours, 60);
  JsonValue theirs = base;
  set_time(item(theirs, 0, 0), "duration", 80);  // ends at 90
  const MergeResult r = merged(base, ours, theirs);
  EXPECT_TRUE(r.conflicts.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].kind, "range");
}

}  // namespace
}  // namespace tesmo
