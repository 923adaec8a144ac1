// The comparison model read from JsonValue documents and from tapes.
#include "core/timeline/cut.h"

#include <charconv>
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
  TapeView(const JsonTape* tape, std::uint32_t node) : tape_(tape), node_(node) {}

  explicit operator bool() const { return node_ != JsonTape::kNone; }
  bool is_object() const { return kind() == JsonKind::Object; }
  TapeView find(std::string_view key) const {
    return TapeView(tape_, is_object() ? tape_->find(node_, key) : JsonTape::kNone);
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
    return TapeView(tape_, tape_->entry(node_, static_cast<std::uint32_t>(i)).node);
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

 private:
  // Null for nothing: no question about it has an answer anyway.
  JsonKind kind() const { return node_ == JsonTape::kNone ? JsonKind::Null : tape_->node(node_).kind; }

  const JsonTape* tape_;
  std::uint32_t node_;
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

Result<Cut> read_cut(const JsonValue& root) { return cut_read::read(JsonView<const JsonValue>(&root)); }

Result<Cut> read_cut(const JsonTape& document) { return cut_read::read(TapeView(&document, document.root())); }

Result<Cut> read_stored_cut(const std::string& objects_dir, std::string_view id) {
  Result<TextBuffer> text = read_object_text(objects_dir, id);
  if (!text) return text.error();
  Result<JsonTape> tape = JsonTape::parse(text->view());
  if (!tape) return object_parse_error(tape.error(), id);
  return read_cut(*tape);
}

}  // namespace tesmo
