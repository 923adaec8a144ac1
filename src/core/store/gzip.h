// The gzip member format of object files. The deflate stream comes from
// libdeflate when the build has it and from zlib otherwise, at level 6 either
// way; the header and trailer are handled here, and members that do not read
// in one pass go through zlib's streaming decoder, so each failure on reading
// gets its own message. Internal to the object store.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/value/error.h"
#include "core/value/text_buffer.h"

namespace tesmo {

// One gzip member in memory.
struct GzipMember {
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t size = 0;
  std::string_view view() const { return {reinterpret_cast<const char*>(bytes.get()), size}; }
};

// `data` as one gzip member, built in memory: the fixed header
// 1F 8B 08 00 00000000 00 FF (no name, MTIME 0 so equal data give equal
// files), the deflate stream at level 6, then CRC-32 and length.
Result<GzipMember> gzip_member(std::string_view data);

// Reads the first gzip member from the descriptor and returns its data;
// bytes after the member are ignored. Data that would grow past `limit`
// bytes stop the read with an error of kind kTooLarge, having taken no more
// than about `limit` bytes of memory. Messages: "unexpected end of file",
// "invalid gzip header", "gzip header field too long" (a name or comment
// longer than kMaxGzipHeaderText), "corrupt deflate stream", "corrupt gzip
// stream does not have a matching checksum" (data or header CRC, or length),
// or the OS error text of a failed read.
Result<TextBuffer> read_gzip(int fd, std::size_t limit);

// The longest stored file name or comment the reader accepts, in bytes
// before the terminating NUL.
inline constexpr std::size_t kMaxGzipHeaderText = 65535;

}  // namespace tesmo
