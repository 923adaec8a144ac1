// A read-only JSON document in flat arrays: one node per value, the member
// and element lists of every container side by side in one table, and all
// string text in one arena. Reading a stored timeline this way costs a few
// large allocations instead of one per value, which is what a walk over a
// long history spends most of its time on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value/error.h"
#include "core/value/json.h"

namespace tesmo {

class JsonTape {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffu;

  struct Node {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    std::uint32_t offset = 0;  // strings: into the arena; containers: into the entries
    std::uint32_t size = 0;    // strings: bytes; containers: entries
    // Containers: where their text lies in the document read.
    std::uint32_t span_begin = 0;
    std::uint32_t span_end = 0;
    JsonNumber number = JsonNumber::from_u64(0);
  };
  // A member (with its key in the arena) or an element (key size 0, offset
  // kNone).
  struct Entry {
    std::uint32_t key_offset;
    std::uint32_t key_size;
    std::uint32_t node;
  };

  // The same acceptance, limits and messages as parse_json. A later
  // duplicate key replaces an earlier one for find() and canonical().
  static Result<JsonTape> parse(std::string_view text);

  std::uint32_t root() const { return root_; }
  const Node& node(std::uint32_t n) const { return nodes_[n]; }
  std::string_view text(std::uint32_t offset, std::uint32_t size) const {
    return std::string_view(arena_).substr(offset, size);
  }
  std::string_view string(std::uint32_t n) const { return text(nodes_[n].offset, nodes_[n].size); }
  const Entry& entry(std::uint32_t container, std::uint32_t i) const {
    return entries_[nodes_[container].offset + i];
  }
  // The text a container was read from, as a range of the document's
  // offsets; empty for other values.
  std::pair<std::uint32_t, std::uint32_t> span(std::uint32_t n) const {
    return {nodes_[n].span_begin, nodes_[n].span_end};
  }
  // The value of an object's member, or kNone.
  std::uint32_t find(std::uint32_t object, std::string_view key) const;
  // The canonical text of a value, as canonical_json of its JsonValue.
  void append_canonical(std::string& out, std::uint32_t n) const;

 private:
  friend class TapeBuilder;
  std::vector<Node> nodes_;
  std::vector<Entry> entries_;
  std::string arena_;
  std::uint32_t root_ = kNone;
};

}  // namespace tesmo
