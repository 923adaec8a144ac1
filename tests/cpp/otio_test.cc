#include "core/timeline/otio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tesmo {
namespace {

JsonValue json(std::string_view text) {
  Result<JsonValue> v = parse_json(text);
  EXPECT_TRUE(v) << (v ? "" : v.error().message()) << " in " << text;
  return v ? *v : JsonValue();
}

// A timeline whose tracks stack holds the given children (JSON text).
std::string timeline_with(std::string_view stack_children) {
  return R"({"OTIO_SCHEMA":"Timeline.1","tracks":{"OTIO_SCHEMA":"Stack.1","children":[)" +
         std::string(stack_children) + "]}}";
}

// A timeline whose only track holds the given children (JSON text).
std::string one_track(std::string_view track_children) {
  return timeline_with(R"({"OTIO_SCHEMA":"Track.1","name":"V1","kind":"Video","children":[)" +
                       std::string(track_children) + "]}");
}

TimelineModel read(std::string_view text) {
  const JsonValue document = json(text);
  Result<TimelineModel> model = read_otio_timeline(document);
  EXPECT_TRUE(model) << (model ? "" : model.error().message());
  return model ? *std::move(model) : TimelineModel{};
}

std::vector<TrackItem> items_of(std::string_view track_children) {
  TimelineModel model = read(one_track(track_children));
  EXPECT_EQ(model.tracks.size(), 1u);
  return model.tracks.empty() ? std::vector<TrackItem>{} : model.tracks[0].items;
}

// The clip read from a Clip.2 child with the given members (JSON text).
ClipItem clip_of(std::string_view members) {
  std::vector<TrackItem> items = items_of(R"({"OTIO_SCHEMA":"Clip.2","name":"c")" +
                                          std::string(members.empty() ? "" : ",") + std::string(members) + "}");
  EXPECT_EQ(items.size(), 1u);
  const ClipItem* clip = items.empty() ? nullptr : std::get_if<ClipItem>(&items[0]);
  EXPECT_NE(clip, nullptr);
  return clip ? *clip : ClipItem{};
}

// --- Root and stack errors ---------------------------------------------------

struct ErrorCase {
  const char* document;
  const char* message;
};

class ReaderError : public testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderError, ReportsFirstProblemAlone) {
  Result<TimelineModel> model = read_otio_timeline(json(GetParam().document));
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error().message(), GetParam().message);
  EXPECT_EQ(model.error().cause(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderError,
    testing::Values(
        ErrorCase{"5", "expected an object at the OTIO root"},
        ErrorCase{R"(["Timeline.1"])", "expected an object at the OTIO root"},
        ErrorCase{"{}", "expected Timeline root, got "},
        ErrorCase{R"({"OTIO_SCHEMA":1,"tracks":{"children":[]}})", "expected Timeline root, got "},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline","tracks":{"children":[]}})", "expected Timeline root, got Timeline"},
        ErrorCase{R"({"OTIO_SCHEMA":"timeline.1","tracks":{"children":[]}})",
                  "expected Timeline root, got timeline.1"},
        ErrorCase{R"({"OTIO_SCHEMA":"Stack.1"})", "expected Timeline root, got Stack.1"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1"})", "Timeline has no `tracks`"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1","Tracks":{"children":[]}})", "Timeline has no `tracks`"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1","tracks":null})", "expected the top stack to be an object"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1","tracks":[{"children":[]}]})",
                  "expected the top stack to be an object"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1","tracks":{}})", "stack has no `children` array"},
        ErrorCase{R"({"OTIO_SCHEMA":"Timeline.1","tracks":{"children":{}}})", "stack has no `children` array"}));

TEST(Reader, AcceptsAnyTimelineVersionAndIgnoresStackSchema) {
  for (const char* schema : {"Timeline.1", "Timeline.2", "Timeline."}) {
    Result<TimelineModel> model = read_otio_timeline(
        json(std::string(R"({"OTIO_SCHEMA":")") + schema + R"(","tracks":{"OTIO_SCHEMA":"Nope","children":[]}})"));
    ASSERT_TRUE(model) << schema;
    EXPECT_TRUE(model->tracks.empty());
  }
}

// --- Tracks ------------------------------------------------------------------

TEST(Reader, KeepsOnlyTrackChildrenOfTheStackInOrder) {
  TimelineModel model = read(timeline_with(
      R"({"OTIO_SCHEMA":"Track.1","name":"a"},"x",7,{"OTIO_SCHEMA":"track.1","name":"no"},)"
      R"({"OTIO_SCHEMA":"Stack.1","name":"no"},{"name":"no"},{"OTIO_SCHEMA":5,"name":"no"},)"
      R"({"OTIO_SCHEMA":"Track","name":"b"},{"OTIO_SCHEMA":"Track.2.1","name":7})"));
  ASSERT_EQ(model.tracks.size(), 3u);
  EXPECT_EQ(model.tracks[0].name, "a");
  EXPECT_EQ(model.tracks[1].name, "b");
  EXPECT_EQ(model.tracks[2].name, "");
}

struct KindCase {
  const char* member;  // the track's "kind" member, or empty for none
  TrackKind kind;
};

class TrackKindRead : public testing::TestWithParam<KindCase> {};

TEST_P(TrackKindRead, FoldsAsciiCase) {
  const std::string kind = *GetParam().member ? std::string(",\"kind\":") + GetParam().member : "";
  TimelineModel model = read(timeline_with(R"({"OTIO_SCHEMA":"Track.1")" + kind + "}"));
  ASSERT_EQ(model.tracks.size(), 1u);
  EXPECT_EQ(model.tracks[0].kind, GetParam().kind) << GetParam().member;
}

INSTANTIATE_TEST_SUITE_P(Table, TrackKindRead,
                         testing::Values(KindCase{R"("Video")", TrackKind::Video},
                                         KindCase{R"("VIDEO")", TrackKind::Video},
                                         KindCase{R"("aUdIo")", TrackKind::Audio},
                                         KindCase{R"("Video ")", TrackKind::Other},
                                         KindCase{R"("vid\u00e9o")", TrackKind::Other},
                                         KindCase{R"("")", TrackKind::Other}, KindCase{"1", TrackKind::Other},
                                         KindCase{"null", TrackKind::Other}, KindCase{"", TrackKind::Other}));

TEST(Reader, TrackWithoutChildrenArrayHasNoItems) {
  TimelineModel model = read(timeline_with(R"({"OTIO_SCHEMA":"Track.1","name":"a"},)"
                                           R"({"OTIO_SCHEMA":"Track.1","name":"b","children":{"x":1}})"));
  ASSERT_EQ(model.tracks.size(), 2u);
  EXPECT_TRUE(model.tracks[0].items.empty());
  EXPECT_TRUE(model.tracks[1].items.empty());
}

TEST(Reader, DispatchesTrackChildrenOnSchemaName) {
  std::vector<TrackItem> items = items_of(
      R"({"OTIO_SCHEMA":"Clip.1","name":"a"},{"OTIO_SCHEMA":"clip.1","name":"no"},"x",null,)"
      R"({"OTIO_SCHEMA":"Gap.1"},{"OTIO_SCHEMA":"Stack.1","children":[{"OTIO_SCHEMA":"Clip.1"}]},)"
      R"({"name":"no schema"},{"OTIO_SCHEMA":"Transition.1","name":"t"},{"OTIO_SCHEMA":"Filler"},)"
      R"({"OTIO_SCHEMA":"Clip","name":"b"},{"OTIO_SCHEMA":"Marker.2"})");
  ASSERT_EQ(items.size(), 5u);
  ASSERT_TRUE(std::holds_alternative<ClipItem>(items[0]));
  EXPECT_EQ(std::get<ClipItem>(items[0]).name, "a");
  EXPECT_TRUE(std::holds_alternative<GapItem>(items[1]));
  ASSERT_TRUE(std::holds_alternative<TransitionItem>(items[2]));
  EXPECT_EQ(std::get<TransitionItem>(items[2]).name, "t");
  EXPECT_TRUE(std::holds_alternative<GapItem>(items[3]));
  ASSERT_TRUE(std::holds_alternative<ClipItem>(items[4]));
  EXPECT_EQ(std::get<ClipItem>(items[4]).name, "b");
}

// --- Clips -------------------------------------------------------------------

struct MediaCase {
  const char* label;
  const char* members;  // the clip's members besides schema and name
  std::optional<std::string> media;
};

class MediaIdentity : public testing::TestWithParam<MediaCase> {};

TEST_P(MediaIdentity, Reads) { EXPECT_EQ(clip_of(GetParam().members).media, GetParam().media); }

INSTANTIATE_TEST_SUITE_P(
    SingleReference, MediaIdentity,
    testing::Values(
        MediaCase{"url", R"("media_reference":{"target_url":"file:///a.mov","name":"A"})", "file:///a.mov"},
        MediaCase{"empty_url_uses_name", R"("media_reference":{"target_url":"","name":"A"})", "ref-by-name:A"},
        MediaCase{"non_string_url_uses_name", R"("media_reference":{"target_url":5,"name":"A"})",
                  "ref-by-name:A"},
        MediaCase{"empty_name", R"("media_reference":{"target_url":"","name":""})", std::nullopt},
        MediaCase{"non_string_name", R"("media_reference":{"name":["A"]})", std::nullopt},
        MediaCase{"not_an_object", R"("media_reference":"file:///a.mov")", std::nullopt},
        MediaCase{"none", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// A clip with a "media_reference" member never looks at "media_references".
INSTANTIATE_TEST_SUITE_P(
    MultipleReferences, MediaIdentity,
    testing::Values(
        MediaCase{"default_key", R"("media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}})", "u1"},
        MediaCase{"active_key",
                  R"("media_references":{"DEFAULT_MEDIA":{"target_url":"u1"},"HIGH":{"target_url":"u2"}},)"
                  R"("active_media_reference_key":"HIGH")",
                  "u2"},
        MediaCase{"active_key_without_entry",
                  R"("media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}},"active_media_reference_key":"HIGH")",
                  std::nullopt},
        MediaCase{"empty_active_key",
                  R"("media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}},"active_media_reference_key":"")",
                  std::nullopt},
        MediaCase{"non_string_key_means_default",
                  R"("media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}},"active_media_reference_key":null)",
                  "u1"},
        MediaCase{"missing_reference_by_name",
                  R"("media_references":{"DEFAULT_MEDIA":{"OTIO_SCHEMA":"MissingReference.1","name":"bee"}})",
                  "ref-by-name:bee"},
        MediaCase{"entry_not_an_object", R"("media_references":{"DEFAULT_MEDIA":"u1"})", std::nullopt},
        MediaCase{"references_not_an_object", R"("media_references":[{"target_url":"u1"}])", std::nullopt},
        MediaCase{"single_reference_wins",
                  R"("media_reference":{"target_url":"u0"},"media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}})",
                  "u0"},
        MediaCase{"single_reference_not_an_object_wins",
                  R"("media_reference":null,"media_references":{"DEFAULT_MEDIA":{"target_url":"u1"}})",
                  std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Reader, ClipMembersTakeDefaults) {
  ClipItem clip = clip_of(R"("name":7,"source_range":"0-48","effects":{"a":1})");
  EXPECT_EQ(clip.name, "");
  EXPECT_EQ(clip.source_range, std::nullopt);
  EXPECT_EQ(clip.media, std::nullopt);
  EXPECT_EQ(clip.effect_count, 0u);
}

TEST(Reader, CountsEffectsWithoutReadingThem) {
  EXPECT_EQ(clip_of(R"("effects":[{"OTIO_SCHEMA":"Effect.1"},1,null])").effect_count, 3u);
  EXPECT_EQ(clip_of(R"("effects":[])").effect_count, 0u);
}

// --- Times -------------------------------------------------------------------

struct RangeCase {
  const char* label;
  const char* text;
  std::optional<TimeRange> range;
};

class TimeRangeRead : public testing::TestWithParam<RangeCase> {};

TEST_P(TimeRangeRead, Reads) { EXPECT_EQ(read_time_range(json(GetParam().text)), GetParam().range); }

INSTANTIATE_TEST_SUITE_P(
    Table, TimeRangeRead,
    testing::Values(
        RangeCase{"full", R"({"start_time":{"value":1.5,"rate":25},"duration":{"value":-3,"rate":0.5}})",
                  TimeRange{{1.5, 25.0}, {-3.0, 0.5}}},
        RangeCase{"no_rates", R"({"start_time":{"value":10},"duration":{"value":48}})",
                  TimeRange{{10.0, 1.0}, {48.0, 1.0}}},
        RangeCase{"non_numeric_rate", R"({"start_time":{"value":10,"rate":"24"},"duration":{"value":4,"rate":null}})",
                  TimeRange{{10.0, 1.0}, {4.0, 1.0}}},
        RangeCase{"integer_and_float_alike", R"({"start_time":{"value":48.0,"rate":24.0},"duration":{"value":48}})",
                  TimeRange{{48.0, 24.0}, {48.0, 1.0}}},
        RangeCase{"string_value", R"({"start_time":{"value":"10","rate":24},"duration":{"value":48,"rate":24}})",
                  std::nullopt},
        RangeCase{"no_duration", R"({"start_time":{"value":10,"rate":24}})", std::nullopt},
        RangeCase{"duration_not_object", R"({"start_time":{"value":10},"duration":48})", std::nullopt},
        RangeCase{"start_without_value", R"({"start_time":{"rate":24},"duration":{"value":48}})", std::nullopt},
        RangeCase{"null", "null", std::nullopt}, RangeCase{"array", "[1,2]", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Times, LargeIntegersConvertToNearestDouble) {
  EXPECT_EQ(read_rational_time(json(R"({"value":18446744073709551615,"rate":-2})")),
            (RationalTime{18446744073709551616.0, -2.0}));
  EXPECT_EQ(read_rational_time(json(R"({"value":null})")), std::nullopt);
  EXPECT_EQ(read_rational_time(json("7")), std::nullopt);
}

// --- Transitions -------------------------------------------------------------

JsonValue offset(double value, double rate) { return JsonObject{{"rate", rate}, {"value", value}}; }

// A document whose only track holds one transition with the given offsets.
JsonValue transition_document(std::optional<JsonValue> in, std::optional<JsonValue> out) {
  JsonObject transition{{"OTIO_SCHEMA", "Transition.1"}, {"name", "D"}};
  if (in) transition.insert("in_offset", *in);
  if (out) transition.insert("out_offset", *out);
  JsonObject track{{"OTIO_SCHEMA", "Track.1"}, {"children", JsonArray{transition}}};
  JsonObject stack{{"children", JsonArray{track}}};
  return JsonObject{{"OTIO_SCHEMA", "Timeline.1"}, {"tracks", stack}};
}

struct TransitionCase {
  const char* label;
  std::optional<JsonValue> in;
  std::optional<JsonValue> out;
  std::optional<RationalTime> duration;
};

class TransitionDuration : public testing::TestWithParam<TransitionCase> {};

TEST_P(TransitionDuration, Reads) {
  Result<TimelineModel> model = read_otio_timeline(transition_document(GetParam().in, GetParam().out));
  ASSERT_TRUE(model);
  ASSERT_EQ(model->tracks.at(0).items.size(), 1u);
  const TransitionItem& t = std::get<TransitionItem>(model->tracks[0].items[0]);
  EXPECT_EQ(t.name, "D");
  EXPECT_EQ(t.duration, GetParam().duration);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransitionDuration,
    testing::Values(
        TransitionCase{"same_rate", offset(5, 24), offset(7, 24), RationalTime{12, 24}},
        TransitionCase{"different_rates", offset(5, 24), offset(7, 25), std::nullopt},
        TransitionCase{"only_out", std::nullopt, offset(7, 25), RationalTime{7, 25}},
        TransitionCase{"only_in", offset(5, 30), std::nullopt, RationalTime{5, 30}},
        TransitionCase{"unreadable_in", JsonValue("5"), offset(7, 25), RationalTime{7, 25}},
        TransitionCase{"neither", std::nullopt, std::nullopt, std::nullopt},
        // Rates within 2^-52 are one rate, and the in rate is kept; a
        // difference of exactly 2^-52 is not within.
        TransitionCase{"rates_just_within", offset(5, 0.5 + 0x1p-53), offset(7, 0.5),
                       RationalTime{12, 0.5 + 0x1p-53}},
        TransitionCase{"rates_at_epsilon", offset(5, 1.0), offset(7, 1.0 + 0x1p-52), std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Schema names ------------------------------------------------------------

TEST(SchemaName, CutsAtFirstDot) {
  EXPECT_EQ(schema_name(JsonObject{{"OTIO_SCHEMA", "Clip.2"}}), "Clip");
  EXPECT_EQ(schema_name(JsonObject{{"OTIO_SCHEMA", "Clip"}}), "Clip");
  EXPECT_EQ(schema_name(JsonObject{{"OTIO_SCHEMA", "a.b.c"}}), "a");
  EXPECT_EQ(schema_name(JsonObject{{"OTIO_SCHEMA", ".1"}}), "");
  EXPECT_EQ(schema_name(JsonObject{{"OTIO_SCHEMA", 1}}), std::nullopt);
  EXPECT_EQ(schema_name(JsonObject{{"otio_schema", "Clip.1"}}), std::nullopt);
}

TEST(TrackKindName, Texts) {
  EXPECT_EQ(track_kind_name(TrackKind::Video), "video");
  EXPECT_EQ(track_kind_name(TrackKind::Audio), "audio");
  EXPECT_EQ(track_kind_name(TrackKind::Other), "other");
}

// --- A document as OpenTimelineIO 0.18 writes it -----------------------------

constexpr std::string_view kOtioDocument = R"({
 "OTIO_SCHEMA": "Timeline.1", "metadata": {}, "name": "t", "global_start_time": null,
 "tracks": {"OTIO_SCHEMA": "Stack.1", "metadata": {}, "name": "tracks", "source_range": null, "effects": [],
  "markers": [], "enabled": true, "color": null,
  "children": [{"OTIO_SCHEMA": "Track.1", "metadata": {}, "name": "V1", "source_range": null, "effects": [],
   "markers": [], "enabled": true, "color": null, "kind": "Video",
   "children": [
    {"OTIO_SCHEMA": "Clip.2", "metadata": {}, "name": "A",
     "source_range": {"OTIO_SCHEMA": "TimeRange.1",
      "duration": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 48.0},
      "start_time": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 10.0}},
     "effects": [], "markers": [], "enabled": true, "color": null,
     "media_references": {"DEFAULT_MEDIA": {"OTIO_SCHEMA": "ExternalReference.1", "metadata": {}, "name": "",
      "available_range": null, "available_image_bounds": null, "target_url": "file:///a.mov"}},
     "active_media_reference_key": "DEFAULT_MEDIA"},
    {"OTIO_SCHEMA": "Transition.1", "metadata": {}, "name": "D",
     "in_offset": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 5.0},
     "out_offset": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 7.0}, "transition_type": ""},
    {"OTIO_SCHEMA": "Gap.1", "metadata": {}, "name": "",
     "source_range": {"OTIO_SCHEMA": "TimeRange.1",
      "duration": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 24.0},
      "start_time": {"OTIO_SCHEMA": "RationalTime.1", "rate": 24.0, "value": 0.0}},
     "effects": [], "markers": [], "enabled": true, "color": null},
    {"OTIO_SCHEMA": "Clip.2", "metadata": {}, "name": "B", "source_range": null,
     "effects": [{"OTIO_SCHEMA": "Effect.1", "metadata": {}, "name": "e", "effect_name": "", "enabled": true}],
     "markers": [], "enabled": true, "color": null,
     "media_references": {"DEFAULT_MEDIA": {"OTIO_SCHEMA": "MissingReference.1", "metadata": {}, "name": "bee",
      "available_range": null, "available_image_bounds": null}},
     "active_media_reference_key": "DEFAULT_MEDIA"}]}]}})";

TimelineModel otio_document_model() {
  TrackModel v1{"V1", TrackKind::Video, {}};
  v1.items.emplace_back(ClipItem{"A", TimeRange{{10, 24}, {48, 24}}, "file:///a.mov", 0});
  v1.items.emplace_back(TransitionItem{"D", RationalTime{12, 24}});
  v1.items.emplace_back(GapItem{});
  v1.items.emplace_back(ClipItem{"B", std::nullopt, "ref-by-name:bee", 1});
  return TimelineModel{{v1}};
}

TEST(Reader, ReadsLibraryDocument) {
  const JsonValue document = json(kOtioDocument);
  Result<TimelineModel> model = read_otio_timeline(document);
  ASSERT_TRUE(model);
  EXPECT_EQ(*model, otio_document_model());
  EXPECT_EQ(document, json(kOtioDocument));
}

TEST(Reader, MovingReaderGivesTheSameModel) {
  JsonValue document = json(kOtioDocument);
  Result<TimelineModel> model = read_otio_timeline(std::move(document));
  ASSERT_TRUE(model);
  EXPECT_EQ(*model, otio_document_model());
  JsonValue wrong(JsonObject{{"OTIO_SCHEMA", "Timeline"}});
  Result<TimelineModel> bad = read_otio_timeline(std::move(wrong));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "expected Timeline root, got Timeline");
}

}  // namespace
}  // namespace tesmo
