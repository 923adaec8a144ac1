// The JSON reader. It is iterative: open arrays and objects live on an
// explicit stack capped at kMaxJsonNesting, so no input can exhaust the
// machine stack, and every byte access is bounds-checked.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <system_error>

#include "json.h"
#include "utf8.h"

namespace tesmo {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when a number text that the double range cannot hold is too large
// (rather than too small): its leading significant digit's decimal exponent
// is positive. Only called for texts that passed the number grammar.
bool magnitude_overflows(std::string_view num) {
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

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<JsonValue> run();

 private:
  // An open container. Object members are gathered in arrival order and
  // made into a JsonObject when the object closes: inserting each member at
  // its sorted place as it arrives would shift the members after it, a cost
  // quadratic in the member count when keys come in descending order.
  struct Frame {
    bool is_object;
    JsonArray array;
    std::vector<JsonObject::Member> members;
    bool keys_ascending = true;  // each key so far above the one before
    std::string key;  // the key of the member whose value is being read
  };

  // Keys in ascending order, as canonical text has them, are appended one
  // by one; any other order is sorted once, the last of equal keys kept.
  static JsonObject close_object(Frame& frame) {
    if (!frame.keys_ascending) return JsonObject(std::move(frame.members));
    JsonObject object;
    object.reserve(frame.members.size());
    for (JsonObject::Member& m : frame.members) object.insert(std::move(m.first), std::move(m.second));
    return object;
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

  Status parse_string(std::string& out);
  Status parse_escape(std::string& out);
  Status parse_key(std::string& out);
  Result<JsonValue> parse_number();
  Result<JsonValue> parse_scalar();

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Reads a string starting at its opening quote into `out`.
Status Parser::parse_string(std::string& out) {
  const std::size_t open = pos_++;
  out.clear();
  std::size_t run = pos_;  // start of the bytes not yet copied
  for (;;) {
    if (at_end()) return fail_at(open, "unterminated string starting");
    const unsigned char b = static_cast<unsigned char>(text_[pos_]);
    if (b == '"') {
      out.append(text_.data() + run, pos_ - run);
      ++pos_;
      return {};
    }
    if (b == '\\') {
      out.append(text_.data() + run, pos_ - run);
      if (Status s = parse_escape(out); !s) return s;
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
Status Parser::parse_escape(std::string& out) {
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

// Reads a member key and the colon after it.
Status Parser::parse_key(std::string& out) {
  if (peek() != '"') return unexpected("a string key");
  if (Status s = parse_string(out); !s) return s;
  skip_whitespace();
  if (peek() != ':') return unexpected("':'");
  ++pos_;
  return {};
}

Result<JsonValue> Parser::parse_number() {
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
        return JsonValue::from_u64(u);
      }
    } else if (num == "-0") {
      return JsonValue::from_double(-0.0);
    } else {
      std::int64_t i;
      if (auto r = std::from_chars(first, last, i); r.ec == std::errc() && r.ptr == last) {
        return JsonValue::from_i64(i);
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
  return JsonValue::from_double(d);
}

// A value that is not a container, starting at pos_.
Result<JsonValue> Parser::parse_scalar() {
  const auto literal = [this](std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  };
  switch (peek()) {
    case '"': {
      std::string s;
      if (Status st = parse_string(s); !st) return st.error();
      return JsonValue(std::move(s));
    }
    case 't':
      if (literal("true")) return JsonValue(true);
      break;
    case 'f':
      if (literal("false")) return JsonValue(false);
      break;
    case 'n':
      if (literal("null")) return JsonValue();
      break;
    case '-':
      return parse_number();
    default:
      if (is_digit(peek())) return parse_number();
      break;
  }
  return unexpected("a value");
}

Result<JsonValue> Parser::run() {
  std::vector<Frame> stack;
  for (;;) {
    // Read one value; an opened container instead goes on the stack, and an
    // empty one is complete at once.
    JsonValue value;
    skip_whitespace();
    const char c = peek();
    if (c == '[' || c == '{') {
      if (stack.size() == kMaxJsonNesting) return fail("too many nested arrays and objects");
      ++pos_;
      stack.push_back(Frame{c == '{', {}, {}, true, {}});
      skip_whitespace();
      if (peek() != (c == '{' ? '}' : ']')) {
        if (c == '{') {
          if (Status s = parse_key(stack.back().key); !s) return s.error();
        }
        continue;
      }
      ++pos_;
      stack.pop_back();
      value = c == '{' ? JsonValue(JsonObject()) : JsonValue(JsonArray());
    } else {
      Result<JsonValue> scalar = parse_scalar();
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
        if (!top.members.empty() && !(top.members.back().first < top.key)) top.keys_ascending = false;
        top.members.emplace_back(std::move(top.key), std::move(value));
      } else {
        top.array.push_back(std::move(value));
      }
      skip_whitespace();
      const char close = top.is_object ? '}' : ']';
      if (peek() == ',') {
        ++pos_;
        if (top.is_object) {
          skip_whitespace();
          if (Status s = parse_key(top.key); !s) return s.error();
        }
        break;  // read the next element
      }
      if (peek() != close) return unexpected(top.is_object ? "',' or '}'" : "',' or ']'");
      ++pos_;
      value = top.is_object ? JsonValue(close_object(top)) : JsonValue(std::move(top.array));
      stack.pop_back();
    }
  }
}

}  // namespace

Result<JsonValue> parse_json(std::string_view text) { return Parser(text).run(); }

}  // namespace tesmo
