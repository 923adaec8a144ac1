// Timeline documents built in a few lines, for the tests of the comparison
// and the merge, and the accessors those tests edit them with.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/value/json.h"

namespace tesmo::testing_support {

inline JsonValue rt(double value, double rate = 24) { return JsonObject{{"rate", rate}, {"value", value}}; }
inline JsonValue tr(double start, double duration, double rate = 24) {
  return JsonObject{{"duration", rt(duration, rate)}, {"start_time", rt(start, rate)}};
}

struct ClipSpec {
  std::string name;
  std::string media;  // "" for no media reference
  double start = 0;
  double duration = 24;
};

inline JsonValue clip(const ClipSpec& c) {
  JsonObject o{{"OTIO_SCHEMA", "Clip.2"}, {"name", c.name}, {"source_range", tr(c.start, c.duration)}};
  if (!c.media.empty()) {
    o.insert("active_media_reference_key", "DEFAULT_MEDIA");
    o.insert("media_references",
             JsonObject{{"DEFAULT_MEDIA", JsonObject{{"OTIO_SCHEMA", "ExternalReference.1"}, {"target_url", c.media}}}});
  }
  return o;
}

inline JsonValue gap(double duration) { return JsonObject{{"OTIO_SCHEMA", "Gap.1"}, {"source_range", tr(0, duration)}}; }

inline JsonValue transition(std::string name, double in = 6, double out = 6) {
  return JsonObject{{"OTIO_SCHEMA", "Transition.1"},
                    {"in_offset", rt(in)},
                    {"name", std::move(name)},
                    {"out_offset", rt(out)},
                    {"transition_type", "SMPTE_Dissolve"}};
}

inline JsonValue track(std::string kind, JsonArray children, std::string name = "") {
  return JsonObject{
      {"OTIO_SCHEMA", "Track.1"}, {"children", std::move(children)}, {"kind", std::move(kind)}, {"name", std::move(name)}};
}

inline JsonValue timeline(JsonArray tracks) {
  return JsonObject{{"OTIO_SCHEMA", "Timeline.1"},
                    {"tracks", JsonObject{{"OTIO_SCHEMA", "Stack.1"}, {"children", std::move(tracks)}}}};
}

// Clips that all carry the name and media of one source file, as FCP
// and Premiere exports name them, each from its own part of the file.
inline JsonArray same_named(std::size_t n, std::string name = "mymovie.mov") {
  JsonArray clips;
  for (std::size_t i = 0; i < n; ++i) clips.push_back(clip({name, "file:///" + name, 100.0 * double(i), 48}));
  return clips;
}

inline JsonArray& children(JsonValue& doc, std::size_t t) {
  JsonValue& stack = *std::get<JsonObject>(doc.data).find("tracks");
  JsonValue& tk = std::get<JsonArray>(std::get<JsonObject>(stack.data).find("children")->data)[t];
  return std::get<JsonArray>(std::get<JsonObject>(tk.data).find("children")->data);
}

inline JsonObject& item(JsonValue& doc, std::size_t t, std::size_t i) {
  return std::get<JsonObject>(children(doc, t)[i].data);
}

inline double number_at(JsonObject& clip, const char* range_key, const char* time_key) {
  JsonObject& range = std::get<JsonObject>(clip.find(range_key)->data);
  JsonObject& time = std::get<JsonObject>(range.find(time_key)->data);
  return time.find("value")->get_number()->to_double();
}

inline void set_time(JsonObject& clip, const char* time_key, double value) {
  JsonObject& range = std::get<JsonObject>(clip.find("source_range")->data);
  std::get<JsonObject>(range.find(time_key)->data).insert("value", value);
}

inline double time_of(JsonObject& clip, const char* time_key) { return number_at(clip, "source_range", time_key); }

}  // namespace tesmo::testing_support
