// The JSON reader building tapes. Containers gather their entries on one
// stack shared by all open containers: a container's entries are the top of
// the stack when it closes, and move to the entry table in one piece.
#include "core/value/json_tape.h"

#include <algorithm>
#include <numeric>

#include "core/value/json_parser.h"

namespace tesmo {

class TapeBuilder {
 public:
  using Value = std::uint32_t;
  struct Container {
    std::uint32_t node;
    std::size_t first;  // this container's first entry on the stack
    std::uint32_t key_offset = 0;
    std::uint32_t key_size = 0;
  };

  explicit TapeBuilder(JsonTape& tape) : tape_(tape) {}

  Value null() { return add_node(JsonKind::Null); }
  Value boolean(bool b) {
    const Value n = add_node(JsonKind::Bool);
    tape_.nodes_[n].boolean = b;
    return n;
  }
  Result<Value> number(JsonNumber number) {
    const Value n = add_node(JsonKind::Number);
    tape_.nodes_[n].number = number;
    return n;
  }
  Result<Value> string(std::string_view text) {
    const Value n = add_node(JsonKind::String);
    tape_.nodes_[n].offset = append(text);
    tape_.nodes_[n].size = static_cast<std::uint32_t>(text.size());
    return n;
  }

  Container open(bool is_object) {
    return Container{add_node(is_object ? JsonKind::Object : JsonKind::Array), stack_.size()};
  }
  Status key(Container& object, std::string_view key) {
    object.key_offset = append(key);
    object.key_size = static_cast<std::uint32_t>(key.size());
    return {};
  }
  void add(Container& object, Value&& value) { stack_.push_back({object.key_offset, object.key_size, value}); }
  void push(Container&, Value&& value) { stack_.push_back({JsonTape::kNone, 0, value}); }

  void span(Container& c, std::size_t begin, std::size_t end) {
    tape_.nodes_[c.node].span_begin = static_cast<std::uint32_t>(begin);
    tape_.nodes_[c.node].span_end = static_cast<std::uint32_t>(end);
  }

  Result<Value> close(Container&& c) {
    JsonTape::Node& node = tape_.nodes_[c.node];
    node.offset = static_cast<std::uint32_t>(tape_.entries_.size());
    node.size = static_cast<std::uint32_t>(stack_.size() - c.first);
    tape_.entries_.insert(tape_.entries_.end(), stack_.begin() + static_cast<std::ptrdiff_t>(c.first), stack_.end());
    stack_.resize(c.first);
    return c.node;
  }

 private:
  Value add_node(JsonKind kind) {
    tape_.nodes_.push_back(JsonTape::Node{kind});
    return static_cast<Value>(tape_.nodes_.size() - 1);
  }
  std::uint32_t append(std::string_view text) {
    const auto offset = static_cast<std::uint32_t>(tape_.arena_.size());
    tape_.arena_.append(text);
    return offset;
  }

  JsonTape& tape_;
  std::vector<JsonTape::Entry> stack_;
};

Result<JsonTape> JsonTape::parse(std::string_view text) {
  // Objects are limited far below 4 GiB, so 32-bit offsets always do.
  if (text.size() >= kNone) return Error("JSON text too large to read");
  JsonTape tape;
  // Roughly one value per dozen bytes of canonical OTIO text.
  tape.nodes_.reserve(text.size() / 12 + 16);
  tape.entries_.reserve(text.size() / 12 + 16);
  tape.arena_.reserve(text.size() / 2 + 16);
  TapeBuilder builder(tape);
  Result<std::uint32_t> root = json_parser::parse(text, builder);
  if (!root) return root.error();
  tape.root_ = *root;
  return tape;
}

std::uint32_t JsonTape::find(std::uint32_t object, std::string_view key) const {
  const Node& o = nodes_[object];
  if (o.kind != JsonKind::Object) return kNone;
  std::uint32_t found = kNone;
  for (std::uint32_t i = 0; i < o.size; ++i) {
    const Entry& e = entries_[o.offset + i];
    if (text(e.key_offset, e.key_size) == key) found = e.node;
  }
  return found;
}

void JsonTape::append_canonical(std::string& out, std::uint32_t n) const {
  const Node& node = nodes_[n];
  switch (node.kind) {
    case JsonKind::Null: out += "null"; return;
    case JsonKind::Bool: out += node.boolean ? "true" : "false"; return;
    case JsonKind::Number: append_canonical_number(out, node.number); return;
    case JsonKind::String: append_canonical_string(out, string(n)); return;
    case JsonKind::Array:
      out += '[';
      for (std::uint32_t i = 0; i < node.size; ++i) {
        if (i > 0) out += ',';
        append_canonical(out, entries_[node.offset + i].node);
      }
      out += ']';
      return;
    case JsonKind::Object: break;
  }
  const auto key_of = [&](std::uint32_t i) {
    const Entry& e = entries_[node.offset + i];
    return text(e.key_offset, e.key_size);
  };
  bool ascending = true;
  for (std::uint32_t i = 1; i < node.size && ascending; ++i) ascending = key_of(i - 1) < key_of(i);
  const auto member = [&](std::uint32_t i) {
    append_canonical_string(out, key_of(i));
    out += ':';
    append_canonical(out, entries_[node.offset + i].node);
  };
  out += '{';
  if (ascending) {
    // Canonical text has its keys in order already.
    for (std::uint32_t i = 0; i < node.size; ++i) {
      if (i > 0) out += ',';
      member(i);
    }
    out += '}';
    return;
  }
  // By key, the later of equal keys last; then only the last of each run.
  std::vector<std::uint32_t> order(node.size);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return key_of(a) < key_of(b); });
  bool first = true;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && key_of(order[i]) == key_of(order[i + 1])) continue;
    if (!first) out += ',';
    first = false;
    member(order[i]);
  }
  out += '}';
}

}  // namespace tesmo
