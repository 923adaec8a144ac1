// Debug-quoting, driven by character tables generated from the Unicode
// Character Database (see scripts/gen_unicode_tables.py).
#include "core/value/quote.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "core/value/utf8.h"

namespace tesmo {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

#include "core/value/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t cp) {
  // The first range whose upper end is not below cp is the only candidate.
  const CodePointRange* it = std::lower_bound(
      std::begin(table), std::end(table), cp,
      [](const CodePointRange& r, char32_t c) { return r.hi < c; });
  return it != std::end(table) && it->lo <= cp;
}

void append_hex_escape(std::string& out, const char* format, unsigned value) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, format, value);
  out.append(buf, static_cast<std::size_t>(n));
}

bool is_printable(char32_t cp) { return !in_table(kNotPrintable, cp); }

bool is_grapheme_extend(char32_t cp) { return in_table(kGraphemeExtend, cp); }

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Char c = decode_utf8(text, pos);
    if (!c.valid) {
      for (std::size_t i = 0; i < c.length; ++i) {
        append_hex_escape(out, "\\x%02X", static_cast<unsigned char>(text[pos + i]));
      }
      pos += c.length;
      continue;
    }
    switch (c.code_point) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\0': out.append("\\0"); break;
      case '\t': out.append("\\t"); break;
      case '\r': out.append("\\r"); break;
      case '\n': out.append("\\n"); break;
      default:
        if (!is_printable(c.code_point) || is_grapheme_extend(c.code_point)) {
          append_hex_escape(out, "\\u{%x}", static_cast<unsigned>(c.code_point));
        } else {
          out.append(text.substr(pos, c.length));
        }
    }
    pos += c.length;
  }
  out.push_back('"');
  return out;
}

}  // namespace tesmo
