// The canonical JSON writer, and the parts of JsonObject that are not inline.
// The writer appends straight into one output string; the text it produces
// fixes object ids, so its layout must never change.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/value/json.h"

namespace tesmo {

JsonObject::JsonObject(std::vector<Member> members) : members_(std::move(members)) {
  const auto by_key = [](const Member& a, const Member& b) { return a.first < b.first; };
  if (members_.size() <= 16) {
    // Insertion sort: stable, and without the temporary buffer that
    // std::stable_sort allocates, for the small objects that make up most
    // of a document.
    for (std::size_t i = 1; i < members_.size(); ++i) {
      if (!(members_[i].first < members_[i - 1].first)) continue;
      Member moving = std::move(members_[i]);
      std::size_t j = i;
      for (; j > 0 && moving.first < members_[j - 1].first; --j) members_[j] = std::move(members_[j - 1]);
      members_[j] = std::move(moving);
    }
  } else {
    std::stable_sort(members_.begin(), members_.end(), by_key);
  }
  // Stability keeps equal keys in their given order, so the last of each run
  // is the one a sequence of inserts would have kept.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (kept > 0 && members_[kept - 1].first == members_[i].first) {
      members_[kept - 1].second = std::move(members_[i].second);
    } else {
      if (kept != i) members_[kept] = std::move(members_[i]);
      ++kept;
    }
  }
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(kept), members_.end());
}

JsonObject::JsonObject(std::initializer_list<Member> members)
    : JsonObject(std::vector<Member>(members)) {}

namespace {

// What each byte becomes inside a string: 0 copies it, 'u' writes \u00XX,
// any other letter writes a backslash and that letter.
constexpr auto kEscape = [] {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Whether any of the 8 bytes in `v` needs an escape: below 0x20, '"' or
// '\\'. Each test sets the top bit of a byte that matches (the classic
// "has a zero byte" trick, applied to v and to v xor the quote and backslash
// patterns).
constexpr bool any_escape(std::uint64_t v) {
  constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  const std::uint64_t quote = v ^ (ones * '"'), backslash = v ^ (ones * '\\');
  const std::uint64_t below_space = (v - ones * 0x20) & ~v;
  const std::uint64_t is_quote = (quote - ones) & ~quote;
  const std::uint64_t is_backslash = (backslash - ones) & ~backslash;
  return ((below_space | is_quote | is_backslash) & highs) != 0;
}

template <class Out>
void append_string(Out& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  // Most text needs no escape at all: skip it 8 bytes at a time.
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t v;
    std::memcpy(&v, s.data() + i, 8);
    if (any_escape(v)) break;
  }
  std::size_t run = 0;  // start of the bytes not yet copied
  for (; i < s.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    const char esc = kEscape[b];
    if (esc == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (esc == 'u') {
      const char seq[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
      out.append(seq, sizeof seq);
    } else {
      const char seq[2] = {'\\', esc};
      out.append(seq, sizeof seq);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

template <class Out, class Int>
void append_integer(Out& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// Shortest round-trip digits from to_chars, laid out in fixed notation for
// decimal exponents -5..15 and scientific notation otherwise. Fixed text
// always has a point, so a float never reads back as an integer.
template <class Out>
void append_float(Out& out, double x) {
  if (!std::isfinite(x)) {
    out.append("null");
    return;
  }
  if (std::signbit(x)) {
    out.push_back('-');
    x = -x;
  }
  if (x == 0) {
    out.append("0.0");
    return;
  }
  // Whole numbers below 2^53, the common case of frame counts and rates,
  // are exact as integers and always in fixed notation: the digits and ".0".
  if (x < 9007199254740992.0 && x == std::floor(x)) {
    append_integer(out, static_cast<std::uint64_t>(x));
    out.append(".0");
    return;
  }
  // to_chars gives "d[.ddd]e±XX[X]" with no trailing zeros in the digits.
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* e = std::find(sci, r.ptr, 'e');
  char digits[20];
  std::size_t k = 0;
  digits[k++] = sci[0];
  for (const char* p = sci + 2; p < e; ++p) digits[k++] = *p;  // skips the point, if any
  int n = 0;
  for (const char* p = e + 2; p < r.ptr; ++p) n = n * 10 + (*p - '0');
  if (e[1] == '-') n = -n;
  const int ki = static_cast<int>(k);

  if (n >= -5 && n <= 15) {
    if (n >= ki - 1) {  // an integer value: all digits, padding zeros, ".0"
      out.append(digits, k);
      out.append(static_cast<std::size_t>(n - ki + 1), '0');
      out.append(".0");
    } else if (n >= 0) {  // point inside the digits
      out.append(digits, static_cast<std::size_t>(n + 1));
      out.push_back('.');
      out.append(digits + n + 1, k - static_cast<std::size_t>(n + 1));
    } else {  // below one: "0." then leading zeros
      out.append("0.");
      out.append(static_cast<std::size_t>(-n - 1), '0');
      out.append(digits, k);
    }
    return;
  }
  out.push_back(digits[0]);
  if (k > 1) {
    out.push_back('.');
    out.append(digits + 1, k - 1);
  }
  out.push_back('e');
  out.push_back(n < 0 ? '-' : '+');
  append_integer(out, n < 0 ? -n : n);
}

template <class Out>
void append_number(Out& out, const JsonNumber& n) {
  switch (n.kind()) {
    case JsonNumber::Kind::Unsigned: append_integer(out, n.as_u64()); return;
    case JsonNumber::Kind::Negative: append_integer(out, n.as_i64()); return;
    case JsonNumber::Kind::Float: append_float(out, n.as_double()); return;
  }
}

void append_value(std::string& out, const JsonValue& value) {
  switch (value.kind()) {
    case JsonKind::Null:
      out.append("null");
      return;
    case JsonKind::Bool:
      out.append(*value.get_bool() ? "true" : "false");
      return;
    case JsonKind::Number:
      append_number(out, *value.get_number());
      return;
    case JsonKind::String:
      append_string(out, *value.get_string());
      return;
    case JsonKind::Array: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& item : *value.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        append_value(out, item);
      }
      out.push_back(']');
      return;
    }
    case JsonKind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : *value.get_object()) {
        if (!first) out.push_back(',');
        first = false;
        append_string(out, key);
        out.push_back(':');
        append_value(out, item);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

std::string canonical_json(const JsonValue& value) {
  std::string out;
  out.reserve(128);
  append_value(out, value);
  return out;
}

void append_canonical_string(std::string& out, std::string_view text) { append_string(out, text); }
void append_canonical_string(TextBuffer& out, std::string_view text) { append_string(out, text); }

void append_canonical_number(std::string& out, const JsonNumber& number) { append_number(out, number); }
void append_canonical_number(TextBuffer& out, const JsonNumber& number) { append_number(out, number); }


}  // namespace tesmo
