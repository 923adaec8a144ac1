// Debug-quoting: a text shown between double quotes with backslash escapes,
// for file contents and stored values inside messages, and for the
// representation of a repository path.
#pragma once

#include <string>
#include <string_view>

namespace tesmo {

// `text` in double quotes. Inside: '"' and '\' get a backslash; NUL, tab,
// carriage return and line feed become \0 \t \r \n; characters that are not
// printable and grapheme-extending (combining) characters become \u{hex}
// (lower case, no leading zeros); single quotes and all other characters are
// copied. Bytes that are not part of valid UTF-8 become \xNN (upper case).
std::string debug_quote(std::string_view text);

}  // namespace tesmo
