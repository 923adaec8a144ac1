// UTF-8 decoding shared by the JSON reader, debug-quoting and path display.
// Decoding follows the Unicode "maximal subpart" rule, so every invalid
// sequence is reported with the length a replacement character stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tesmo {

struct Utf8Char {
  char32_t code_point;  // valid only when `valid`
  std::size_t length;   // bytes consumed: the character, or the invalid subpart (>= 1)
  bool valid;
};

// Decodes the character starting at text[pos]; pos must be < text.size().
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

// True when the whole text is well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t code_point);

// The text with every invalid subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

}  // namespace tesmo
