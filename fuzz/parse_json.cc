// parse_json on arbitrary bytes. A text that reads must also survive the
// trip through its canonical form: the canonical text reads back as an equal
// value, and writing that value again gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/value/json.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tesmo::Result<tesmo::JsonValue> value = tesmo::parse_json(input);
  if (!value) {
    if (value.error().message().find(" at byte ") == std::string::npos) {
      fail("error without a byte offset", value.error().message());
    }
    return 0;
  }
  const std::string text = tesmo::canonical_json(*value);
  tesmo::Result<tesmo::JsonValue> again = tesmo::parse_json(text);
  if (!again) fail("canonical text does not read back", text);
  if (!(*again == *value)) fail("canonical text reads back as another value", text);
  if (tesmo::canonical_json(*again) != text) fail("canonical text is not stable", text);
  return 0;
}
