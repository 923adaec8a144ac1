// The comparison model read from JsonValue documents and from tapes.
#include "core/timeline/cut.h"

#include <charconv>
#include <functional>
#include <system_error>

#include "core/store/object.h"
#include "core/timeline/cut_read.h"
#include "core/timeline/json_view.h"
#include "core/value/json_tape.h"

namespace tesmo {
namespace {

// A view of one value of a tape, or of nothing.
class TapeView {
 public:
  TapeView(const JsonTape* tape, std::uint32_t node, std::string_view source = {})
      : tape_(tape), node_(node), source_(source) {}

  explicit operator bool() const { return node_ != JsonTape::kNone; }
  bool is_object() const { return kind() == JsonKind::Object; }
  TapeView find(std::string_view key) const {
    return TapeView(tape_, is_object() ? tape_->find(node_, key) : JsonTape::kNone, source_);
  }
  std::optional<std::string_view> string() const {
    if (kind() != JsonKind::String) return std::nullopt;
    return tape_->string(node_);
  }
  std::string take_string() const {
    std::optional<std::string_view> text = string();
    return text ? std::string(*text) : std::string();
  }
  std::optional<double> number() const {
    if (kind() != JsonKind::Number) return std::nullopt;
    return tape_->node(node_).number.to_double();
  }
  std::optional<std::size_t> array_size() const {
    if (kind() != JsonKind::Array) return std::nullopt;
    return tape_->node(node_).size;
  }
  TapeView item(std::size_t i) const {
    return TapeView(tape_, tape_->entry(node_, static_cast<std::uint32_t>(i)).node, source_);
  }
  std::optional<bool> boolean() const {
    if (kind() != JsonKind::Bool) return std::nullopt;
    return tape_->node(node_).boolean;
  }
  std::string canonical() const {
    std::string out;
    if (*this) tape_->append_canonical(out, node_);
    return out;
  }
  // The text a container was read from; empty when the document's text is
  // not at hand or for other values.
  std::string_view span_text() const {
    if (source_.empty() || !*this) return {};
    const auto [begin, end] = tape_->span(node_);
    return source_.substr(begin, end - begin);
  }

 private:
  // Null for nothing: no question about it has an answer anyway.
  JsonKind kind() const { return node_ == JsonTape::kNone ? JsonKind::Null : tape_->node(node_).kind; }

  const JsonTape* tape_;
  std::uint32_t node_;
  std::string_view source_;  // the text the tape was read from, if known
};

}  // namespace

std::string track_label(TrackKind kind, std::size_t index_in_kind) {
  const char letter = kind == TrackKind::Video ? 'V' : kind == TrackKind::Audio ? 'A' : 'O';
  return letter + std::to_string(index_in_kind + 1);
}

namespace {

void append_number(std::string& out, double x) {
  char text[32];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, x);
  if (r.ec == std::errc()) out.append(text, r.ptr);
}

}  // namespace

std::string clip_key(const CutClip& clip) {
  std::string key;
  if (clip.media) {
    key = "m";
    key += *clip.media;
  } else {
    key = "n";
    key += clip.name;
  }
  if (!clip.source_range) return key + "|-";
  const TimeRange& r = *clip.source_range;
  for (double x : {r.start_time.value, r.start_time.rate, r.duration.value, r.duration.rate}) {
    key += '|';
    append_number(key, x);
  }
  return key;
}

std::uint64_t clip_extras(const CutClip& clip) {
  std::uint64_t h = 0x9e3779b97f4a7c15u;
  const auto mix = [&](std::uint64_t v) { h ^= v + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2); };
  for (const SharedText* text : {&clip.effects_text, &clip.markers_text, &clip.metadata_text}) {
    mix(std::hash<std::string_view>()(text->view()));
  }
  mix(std::hash<double>()(clip.speed));
  mix(clip.enabled ? 1 : 2);
  return h;
}

JsonObject comparable_metadata(std::string_view text) {
  Result<JsonValue> value = parse_json(text);
  JsonObject* members = value ? value->get_object() : nullptr;
  if (!members) return JsonObject();
  std::vector<JsonObject::Member> kept;
  for (const auto& [key, member] : *members) {
    const JsonObject* space = member.get_object();
    if (space == nullptr || !space->find("@id")) {
      kept.emplace_back(key, member);
      continue;
    }
    std::vector<JsonObject::Member> inner;
    for (const auto& [name, item] : *space) {
      if (name != "@id") inner.emplace_back(name, item);
    }
    kept.emplace_back(key, JsonObject::from_sorted(std::move(inner)));
  }
  return JsonObject::from_sorted(std::move(kept));
}

Result<Cut> read_cut(const JsonValue& root) { return cut_read::read(JsonView<const JsonValue>(&root)); }

Result<Cut> read_cut(const JsonTape& document) { return cut_read::read(TapeView(&document, document.root())); }

const CutClip* ClipMemo::recall(std::string_view text) {
  // Versions mostly keep their clips in order, so the clip after the last
  // one found is tried before any lookup.
  if (cursor < previous.size() && previous[cursor].text == text) return &previous[cursor++].clip;
  // A clip inserted or removed just before shifts the rest by one or two.
  for (std::size_t at : {cursor + 1, cursor + 2, cursor - 1, cursor - 2}) {
    if (at < previous.size() && previous[at].text == text) {
      cursor = at + 1;
      return &previous[at].clip;
    }
  }
  if (!indexed) {
    for (std::size_t i = 0; i < previous.size(); ++i) index.emplace(previous[i].text, i);
    indexed = true;
  }
  auto it = index.find(text);
  if (it == index.end()) return nullptr;
  cursor = it->second + 1;
  return &previous[it->second].clip;
}

void ClipMemo::next_version() {
  previous = std::move(current);
  current.clear();
  cursor = 0;
  index.clear();
  indexed = false;
}

Result<Cut> StoredCutReader::read(std::string_view id) {
  TextBuffer& text = texts_[current_];
  Result<TextBuffer> read = read_object_text(objects_dir_, id);
  if (!read) return read.error();
  text = std::move(read).value();
  Result<JsonTape> tape = JsonTape::parse(text.view());
  if (!tape) {
    memo_ = ClipMemo();
    return object_parse_error(tape.error(), id);
  }
  memo_.current.clear();
  Result<Cut> cut = cut_read::read(TapeView(&*tape, tape->root(), text.view()), &memo_);
  // The clips just read become the ones to take from; their texts are views
  // of the text just read, which stays until the version after next.
  memo_.next_version();
  current_ ^= 1;
  return cut;
}

}  // namespace tesmo
