// The JSON reader, written once over the builder of what it reads: a
// JsonValue tree in the core, or objects of another language. It is
// iterative: open arrays and objects live on an explicit stack capped at
// kMaxJsonNesting, so no input can exhaust the machine stack, and every byte
// access is bounds-checked.
//
// A Builder provides Value (copyable or movable) and Container, and:
//   Value null(); Value boolean(bool); Result<Value> number(JsonNumber);
//   Result<Value> string(std::string_view) (valid UTF-8, valid only for the
//     call);
//   Container open(bool is_object);
//   Status key(Container&, std::string_view)  (the key of the object member
//     whose value comes next, valid only for the call; keys may come in any
//     order and repeat, the later value replacing the earlier);
//   void add(Container&, Value&&)  (that member's value);
//   void push(Container&, Value&&)  (arrays);
//   Result<Value> close(Container&&).
// A failure of the builder ends the parse with the builder's error.
#pragma once

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/value/error.h"
#include "core/value/json.h"
#include "core/value/utf8.h"

namespace tesmo::json_parser {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when a number text that the double range cannot hold is too large
// (rather than too small): its leading significant digit's decimal exponent
// is positive. Only called for texts that passed the number grammar.
inline bool magnitude_overflows(std::string_view num) {
  std::size_t i = 0;
  if (num[i] == '-') ++i;
  const std::size_t int_start = i;
  while (i < num.size() && is_digit(num[i])) ++i;
  const std::string_view int_digits = num.substr(int_start, i - int_start);
  std::string_view frac_digits;
  if (i < num.size() && num[i] == '.') {
    const std::size_t frac_start = ++i;
    while (i < num.size() && is_digit(num[i])) ++i;
    frac_digits = num.substr(frac_start, i - frac_start);
  }
  std::int64_t exponent = 0;
  if (i < num.size() && (num[i] == 'e' || num[i] == 'E')) {
    ++i;
    bool negative = false;
    if (num[i] == '+' || num[i] == '-') negative = num[i++] == '-';
    for (; i < num.size(); ++i) {
      // Saturate: anything this far out is decided by its sign alone.
      if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (num[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  std::int64_t lead;
  if (std::size_t nz = int_digits.find_first_not_of('0'); nz != std::string_view::npos) {
    lead = static_cast<std::int64_t>(int_digits.size() - 1 - nz);
  } else if (nz = frac_digits.find_first_not_of('0'); nz != std::string_view::npos) {
    lead = -static_cast<std::int64_t>(nz + 1);
  } else {
    return false;  // zero never overflows
  }
  return lead + exponent > 0;
}

template <class Builder>
class Parser {
 public:
  using Value = typename Builder::Value;

  Parser(std::string_view text, Builder& builder) : text_(text), builder_(builder) {}

  Result<Value> run();

 private:
  struct Frame {
    bool is_object;
    typename Builder::Container container;
    std::size_t begin;  // offset of the opening bracket
  };

  // A builder that wants to know where each container's text lies offers
  // span(container, begin, end), called just before the container closes.
  void report_span(Frame& frame) {
    if constexpr (requires { builder_.span(frame.container, std::size_t{}, std::size_t{}); }) {
      builder_.span(frame.container, frame.begin, pos_);
    }
  }

  Error fail_at(std::size_t pos, std::string_view what) const {
    return Error(std::string(what) + " at byte " + std::to_string(pos));
  }
  Error fail(std::string_view what) const { return fail_at(pos_, what); }
  // "found ..." for the byte at pos_, for unexpected-token messages.
  Error unexpected(std::string_view expected) const {
    std::string found;
    if (pos_ >= text_.size()) {
      found = "end of input";
    } else {
      const unsigned char b = static_cast<unsigned char>(text_[pos_]);
      char buf[16];
      if (b > 0x20 && b < 0x7F) {
        std::snprintf(buf, sizeof buf, "'%c'", b);
      } else {
        std::snprintf(buf, sizeof buf, "byte 0x%02x", b);
      }
      found = buf;
    }
    return fail("expected " + std::string(expected) + ", found " + found);
  }

  bool at_end() const { return pos_ >= text_.size(); }
  // The current byte, or NUL at the end (NUL is never valid there anyway).
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  void skip_whitespace() {
    while (!at_end()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  Status parse_string(std::string_view& out);
  Status parse_escape(std::string& out);
  Status parse_key(Frame& frame);
  Result<JsonNumber> parse_number();
  Result<Value> parse_scalar();

  std::string_view text_;
  Builder& builder_;
  std::size_t pos_ = 0;
  std::string scratch_;  // the text of a string that holds escapes
};

// Whether any of the 8 bytes in `v` ends a plain run of string text: a
// quote, a backslash, a control character or a byte of a non-ASCII
// character. Each test sets the top bit of a byte that matches.
inline bool ends_plain_run(std::uint64_t v) {
  constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  const std::uint64_t quote = v ^ (ones * '"'), backslash = v ^ (ones * '\\');
  const std::uint64_t below_space = v - ones * 0x20;
  const std::uint64_t is_quote = (quote - ones) & ~quote;
  const std::uint64_t is_backslash = (backslash - ones) & ~backslash;
  return ((below_space | is_quote | is_backslash | v) & highs) != 0;
}

// Reads a string starting at its opening quote. `out` is a view of the
// input when the string holds no escape, else of its decoded text in
// scratch_; either way it is valid until the next string is read.
template <class Builder>
Status Parser<Builder>::parse_string(std::string_view& out) {
  const std::size_t open = pos_++;
  bool escaped = false;
  std::size_t run = pos_;  // start of the bytes not yet copied to scratch_
  for (;;) {
    // Runs of plain ASCII text, the bulk of a document, 8 bytes at a time.
    while (text_.size() - pos_ >= 8) {
      std::uint64_t v;
      std::memcpy(&v, text_.data() + pos_, 8);
      if (ends_plain_run(v)) break;
      pos_ += 8;
    }
    if (at_end()) return fail_at(open, "unterminated string starting");
    const unsigned char b = static_cast<unsigned char>(text_[pos_]);
    if (b == '"') {
      if (escaped) {
        scratch_.append(text_.data() + run, pos_ - run);
        out = scratch_;
      } else {
        out = text_.substr(run, pos_ - run);
      }
      ++pos_;
      return {};
    }
    if (b == '\\') {
      if (!escaped) scratch_.clear();
      escaped = true;
      scratch_.append(text_.data() + run, pos_ - run);
      if (Status s = parse_escape(scratch_); !s) return s;
      run = pos_;
    } else if (b < 0x20) {
      return fail("unescaped control character in string");
    } else if (b < 0x80) {
      ++pos_;
    } else {
      const Utf8Char c = decode_utf8(text_, pos_);
      if (!c.valid) return fail("invalid UTF-8 in string");
      pos_ += c.length;
    }
  }
}

// Reads one escape starting at its backslash and appends what it stands for.
template <class Builder>
Status Parser<Builder>::parse_escape(std::string& out) {
  const std::size_t start = pos_++;
  if (at_end()) return fail_at(start, "unterminated escape");
  const char c = text_[pos_++];
  switch (c) {
    case '"': out.push_back('"'); return {};
    case '\\': out.push_back('\\'); return {};
    case '/': out.push_back('/'); return {};
    case 'b': out.push_back('\b'); return {};
    case 'f': out.push_back('\f'); return {};
    case 'n': out.push_back('\n'); return {};
    case 'r': out.push_back('\r'); return {};
    case 't': out.push_back('\t'); return {};
    case 'u': break;
    default: return fail_at(start, "invalid escape");
  }
  // Four hex digits at pos_, or -1.
  const auto hex4 = [this]() -> long {
    if (text_.size() - pos_ < 4) return -1;
    long v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = hex_digit(text_[pos_ + k]);
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v;
  };
  const long unit = hex4();
  if (unit < 0) return fail_at(start, "invalid \\u escape");
  pos_ += 4;
  char32_t cp = static_cast<char32_t>(unit);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(start, "unpaired surrogate in \\u escape");
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (text_.size() - pos_ < 2 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
      return fail_at(start, "unpaired surrogate in \\u escape");
    }
    pos_ += 2;
    const long low = hex4();
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(start, "unpaired surrogate in \\u escape");
    pos_ += 4;
    cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
  }
  append_utf8(out, cp);
  return {};
}

// Reads a member key and the colon after it, and hands the key to the
// builder.
template <class Builder>
Status Parser<Builder>::parse_key(Frame& frame) {
  if (peek() != '"') return unexpected("a string key");
  std::string_view key;
  if (Status s = parse_string(key); !s) return s;
  skip_whitespace();
  if (peek() != ':') return unexpected("':'");
  ++pos_;
  return builder_.key(frame.container, key);
}

template <class Builder>
Result<JsonNumber> Parser<Builder>::parse_number() {
  const std::size_t start = pos_;
  const bool negative = peek() == '-';
  if (negative) ++pos_;
  if (!is_digit(peek())) return unexpected("a digit");
  if (text_[pos_] == '0') {
    ++pos_;
    if (is_digit(peek())) return fail("leading zero in number");
  } else {
    while (is_digit(peek())) ++pos_;
  }
  bool is_float = false;
  if (peek() == '.') {
    ++pos_;
    if (!is_digit(peek())) return unexpected("a digit after the decimal point");
    while (is_digit(peek())) ++pos_;
    is_float = true;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (!is_digit(peek())) return unexpected("a digit in the exponent");
    while (is_digit(peek())) ++pos_;
    is_float = true;
  }
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  const std::string_view num(first, static_cast<std::size_t>(last - first));

  if (!is_float) {
    // Integers keep their kind when they fit; anything wider becomes a Float.
    if (!negative) {
      std::uint64_t u;
      if (auto r = std::from_chars(first, last, u); r.ec == std::errc() && r.ptr == last) {
        return JsonNumber::from_u64(u);
      }
    } else if (num == "-0") {
      return *JsonNumber::from_double(-0.0);
    } else {
      std::int64_t i;
      if (auto r = std::from_chars(first, last, i); r.ec == std::errc() && r.ptr == last) {
        return JsonNumber::from_i64(i);
      }
    }
  }
  double d = 0;
  const auto r = std::from_chars(first, last, d);
  if (r.ec == std::errc::result_out_of_range) {
    // Reported alike for both ends of the range: too large is an error, too
    // small rounds to zero.
    if (magnitude_overflows(num)) return fail_at(start, "number out of range");
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || r.ptr != last) {
    return fail_at(start, "invalid number");
  }
  return *JsonNumber::from_double(d);  // from_chars gives finite values only
}

// A value that is not a container, starting at pos_.
template <class Builder>
Result<typename Parser<Builder>::Value> Parser<Builder>::parse_scalar() {
  const auto literal = [this](std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  };
  switch (peek()) {
    case '"': {
      std::string_view text;
      if (Status st = parse_string(text); !st) return st.error();
      return builder_.string(text);
    }
    case 't':
      if (literal("true")) return builder_.boolean(true);
      break;
    case 'f':
      if (literal("false")) return builder_.boolean(false);
      break;
    case 'n':
      if (literal("null")) return builder_.null();
      break;
    default:
      if (peek() == '-' || is_digit(peek())) {
        Result<JsonNumber> n = parse_number();
        if (!n) return n.error();
        return builder_.number(*n);
      }
      break;
  }
  return unexpected("a value");
}

template <class Builder>
Result<typename Parser<Builder>::Value> Parser<Builder>::run() {
  std::vector<Frame> stack;
  for (;;) {
    // Read one value; an opened container instead goes on the stack, and an
    // empty one is complete at once.
    Value value;
    skip_whitespace();
    const char c = peek();
    if (c == '[' || c == '{') {
      if (stack.size() == kMaxJsonNesting) return fail("too many nested arrays and objects");
      ++pos_;
      stack.push_back(Frame{c == '{', builder_.open(c == '{'), pos_ - 1});
      skip_whitespace();
      if (peek() != (c == '{' ? '}' : ']')) {
        if (c == '{') {
          if (Status s = parse_key(stack.back()); !s) return s.error();
        }
        continue;
      }
      ++pos_;
      report_span(stack.back());
      Result<Value> empty = builder_.close(std::move(stack.back().container));
      if (!empty) return empty.error();
      value = std::move(empty).value();
      stack.pop_back();
    } else {
      Result<Value> scalar = parse_scalar();
      if (!scalar) return scalar.error();
      value = std::move(scalar).value();
    }

    // Hand the value to the innermost open container. Each closing bracket
    // completes that container, which becomes the value for the next one out.
    for (;;) {
      if (stack.empty()) {
        skip_whitespace();
        if (!at_end()) return unexpected("end of input after the value");
        return value;
      }
      Frame& top = stack.back();
      if (top.is_object) {
        builder_.add(top.container, std::move(value));
      } else {
        builder_.push(top.container, std::move(value));
      }
      skip_whitespace();
      const char close = top.is_object ? '}' : ']';
      if (peek() == ',') {
        ++pos_;
        if (top.is_object) {
          skip_whitespace();
          if (Status s = parse_key(top); !s) return s.error();
        }
        break;  // read the next element
      }
      if (peek() != close) return unexpected(top.is_object ? "',' or '}'" : "',' or ']'");
      ++pos_;
      report_span(top);
      Result<Value> closed = builder_.close(std::move(top.container));
      if (!closed) return closed.error();
      value = std::move(closed).value();
      stack.pop_back();
    }
  }
}


// Parses one JSON text with the builder; see parse_json for the rules.
template <class Builder>
Result<typename Builder::Value> parse(std::string_view text, Builder& builder) {
  return Parser<Builder>(text, builder).run();
}

}  // namespace tesmo::json_parser
