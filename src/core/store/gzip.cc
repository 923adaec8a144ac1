// One gzip member in and out of a descriptor. Objects are compressed whole at
// level 6, by libdeflate when the build found it and by zlib otherwise; the
// header and trailer are written and parsed here, so both give the same
// header bytes. libdeflate also decompresses whole members in one pass;
// zlib's streaming decoder reads every member that pass does not take, and
// gives each kind of damage its own message.
#include "core/store/gzip.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#if TESMO_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

#include "core/store/fs.h"

namespace tesmo {
namespace {

constexpr std::size_t kBufferSize = 32 * 1024;

// The level of every object, with either compressor. Files written by
// builds with and without libdeflate differ in their deflate bytes but read
// the same everywhere.
constexpr int kCompressionLevel = 6;

// ID1 ID2, CM deflate, no flags, MTIME 0, XFL 0, OS 255 (unknown): fixed, so
// that equal values give byte-equal files.
constexpr unsigned char kHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF};

constexpr unsigned char kFlagText = 0x01;
constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr unsigned char kKnownFlags = kFlagText | kFlagHeaderCrc | kFlagExtra | kFlagName | kFlagComment;

// Most zlib lengths are 32-bit; larger data go through in pieces this big.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

Error unexpected_eof() { return Error("unexpected end of file"); }
Error too_large(std::size_t limit) { return Error::too_large("data inflate past " + std::to_string(limit) + " bytes"); }
Error checksum_mismatch() { return Error("corrupt gzip stream does not have a matching checksum"); }

// zlib keeps the stream's address (inflateStateCheck compares it), so the
// wrapper can be neither copied nor moved.
class Inflater {
 public:
  Inflater() : ok_(inflateInit2(&strm_, -15) == Z_OK) {}
  ~Inflater() {
    if (ok_) inflateEnd(&strm_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ok() const { return ok_; }
  z_stream* get() { return &strm_; }

 private:
  z_stream strm_{};
  bool ok_;
};

void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t get_le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// The file read through one 32 KiB buffer, refilled only when empty. While
// `crc` is on, every byte taken is added to the header CRC.
class Input {
 public:
  explicit Input(int fd) : fd_(fd), buf_(std::make_unique_for_overwrite<unsigned char[]>(kBufferSize)) {}

  // Makes sure a byte is buffered; false at the end of the file.
  Result<bool> fill() {
    if (pos_ < len_) return true;
    for (;;) {
      const ssize_t n = ::read(fd_, buf_.get(), kBufferSize);
      if (n > 0) {
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
        return true;
      }
      if (n == 0) return false;
      if (errno != EINTR) return Error::from_errno(errno);
    }
  }

  const unsigned char* data() const { return buf_.get() + pos_; }
  std::size_t available() const { return len_ - pos_; }

  void consume(std::size_t n) {
    if (crc_on) crc = crc32_z(crc, data(), n);
    pos_ += n;
  }

  // Takes exactly n bytes, into `out` unless it is null.
  Status take(unsigned char* out, std::size_t n) {
    while (n > 0) {
      Result<bool> more = fill();
      if (!more) return more.error();
      if (!*more) return unexpected_eof();
      const std::size_t k = std::min(n, available());
      if (out) {
        std::memcpy(out, data(), k);
        out += k;
      }
      consume(k);
      n -= k;
    }
    return {};
  }

  // Takes a NUL-terminated field, at most kMaxGzipHeaderText bytes before the NUL.
  Status skip_text() {
    std::size_t length = 0;
    for (;;) {
      Result<bool> more = fill();
      if (!more) return more.error();
      if (!*more) return unexpected_eof();
      const std::size_t room = kMaxGzipHeaderText - length;
      const std::size_t scan = std::min(available(), room + 1);
      const void* nul = std::memchr(data(), 0, scan);
      if (nul) {
        consume(static_cast<const unsigned char*>(nul) - data() + 1);
        return {};
      }
      if (scan > room) return Error("gzip header field too long");
      length += scan;
      consume(scan);
    }
  }

  bool crc_on = false;
  uLong crc = 0;

 private:
  int fd_;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

Status read_header(Input& in) {
  in.crc_on = true;
  unsigned char h[10];
  if (Status s = in.take(h, sizeof h); !s) return s;
  if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & ~kKnownFlags) != 0) {
    return Error("invalid gzip header");
  }
  const unsigned char flags = h[3];
  if (flags & kFlagExtra) {
    unsigned char xlen[2];
    if (Status s = in.take(xlen, 2); !s) return s;
    if (Status s = in.take(nullptr, xlen[0] | xlen[1] << 8); !s) return s;
  }
  if (flags & kFlagName) {
    if (Status s = in.skip_text(); !s) return s;
  }
  if (flags & kFlagComment) {
    if (Status s = in.skip_text(); !s) return s;
  }
  in.crc_on = false;
  if (flags & kFlagHeaderCrc) {
    unsigned char stored[2];
    if (Status s = in.take(stored, 2); !s) return s;
    const uLong want = stored[0] | uLong{stored[1]} << 8;
    if (want != (in.crc & 0xFFFF)) return checksum_mismatch();
  }
  return {};
}

// The compressor of this build, as three operations:
//   deflate_bound(n): room enough for the raw deflate stream of n bytes
//     (0 when no compressor can be had);
//   deflate_into(data, out, room): that stream written into `out`, its size;
//   crc_of(data, n): the CRC-32 of the trailer.
#if TESMO_HAVE_LIBDEFLATE
// One compressor per thread, made on first use and kept: making one costs
// more than compressing a commit record.
struct CompressorSlot {
  struct libdeflate_compressor* compressor = libdeflate_alloc_compressor(kCompressionLevel);
  ~CompressorSlot() { libdeflate_free_compressor(compressor); }
};

struct libdeflate_compressor* thread_compressor() {
  thread_local CompressorSlot slot;
  return slot.compressor;
}

struct DecompressorSlot {
  struct libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  ~DecompressorSlot() { libdeflate_free_decompressor(decompressor); }
};

std::size_t deflate_bound(std::size_t size) {
  struct libdeflate_compressor* compressor = thread_compressor();
  return compressor == nullptr ? 0 : libdeflate_deflate_compress_bound(compressor, size);
}

Result<std::size_t> deflate_into(std::string_view data, unsigned char* out, std::size_t room) {
  struct libdeflate_compressor* compressor = thread_compressor();
  if (compressor == nullptr) return Error::from_errno(ENOMEM);
  const std::size_t packed = libdeflate_deflate_compress(compressor, data.data(), data.size(), out, room);
  if (packed == 0) return Error("compression failed");
  return packed;
}

std::uint32_t crc_of(const char* data, std::size_t size) { return libdeflate_crc32(0, data, size); }

#else
// zlib's deflate of a whole buffer: one stream fed in pieces zlib's 32-bit
// counts can take.
class Deflater {
 public:
  Deflater()
      : ok_(deflateInit2(&strm_, kCompressionLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK) {}
  ~Deflater() {
    if (ok_) deflateEnd(&strm_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool ok() const { return ok_; }
  z_stream* get() { return &strm_; }

 private:
  z_stream strm_{};
  bool ok_;
};

// compressBound covers a zlib-wrapped stream at any level, so also the bare
// stream written here.
std::size_t deflate_bound(std::size_t size) { return compressBound(size); }

Result<std::size_t> deflate_into(std::string_view data, unsigned char* out, std::size_t room) {
  Deflater deflater;
  if (!deflater.ok()) return Error::from_errno(ENOMEM);
  z_stream* z = deflater.get();
  const unsigned char* in = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t in_left = data.size();
  std::size_t written = 0;
  for (;;) {
    const std::size_t in_now = std::min<std::size_t>(in_left, UINT_MAX);
    const std::size_t out_now = std::min<std::size_t>(room - written, UINT_MAX);
    z->next_in = const_cast<unsigned char*>(in);
    z->avail_in = static_cast<uInt>(in_now);
    z->next_out = out + written;
    z->avail_out = static_cast<uInt>(out_now);
    const int rc = deflate(z, in_now == in_left ? Z_FINISH : Z_NO_FLUSH);
    in += in_now - z->avail_in;
    in_left -= in_now - z->avail_in;
    written += out_now - z->avail_out;
    if (rc == Z_STREAM_END) return written;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return Error("compression failed");
    if (written == room) return Error("compression failed");
  }
}

std::uint32_t crc_of(const char* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const unsigned char*>(data), size));
}
#endif

// Deflate expands at most 1032 times; a stored length beyond that cannot be
// right, and the streaming decoder says what is wrong instead.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

#if TESMO_HAVE_LIBDEFLATE
// The whole file from `start`, as the store writes it: the fixed header, the
// deflate stream, the trailer. Returns the data when all of it checks out,
// nothing for any other file (another header, trailing bytes, damage, a read
// error), which the streaming decoder then reads.
std::optional<TextBuffer> read_whole_member(int fd, off_t start, std::size_t limit) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < start) return std::nullopt;
  const std::size_t size = static_cast<std::size_t>(st.st_size - start);
  if (size < sizeof kHeader + 8) return std::nullopt;
  // The whole file is read into memory here, so its size is what this path
  // allocates: more than the largest deflate stream of an object within the
  // limit (zlib's bound, which needs no compressor) is not taken; a sparse
  // file costs no disk and claims any size. The streaming decoder reads
  // such a file piece by piece.
  if (size - sizeof kHeader - 8 > compressBound(limit)) return std::nullopt;
  auto file = std::make_unique_for_overwrite<unsigned char[]>(size);
  const unsigned char* bytes = file.get();
  for (std::size_t got = 0; got < size;) {
    const ssize_t r = ::pread(fd, file.get() + got, size - got, start + static_cast<off_t>(got));
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0 || errno != EINTR) {
      return std::nullopt;
    }
  }
  if (std::memcmp(bytes, kHeader, 4) != 0) return std::nullopt;  // flags other than none

  const std::uint32_t stored_size = get_le32(bytes + size - 4);
  const std::size_t packed = size - sizeof kHeader - 8;
  // A length past the limit is either damage or too much data; the
  // streaming decoder tells which, stopping at the limit.
  if (stored_size > kMaxDeflateRatio * packed + 64 || stored_size > limit) return std::nullopt;
  thread_local DecompressorSlot slot;
  if (slot.decompressor == nullptr) return std::nullopt;
  // The stored length comes from the file and may be damaged: the room is
  // taken without being touched, and a length the system cannot map goes
  // to the streaming decoder, which finds what is wrong.
  TextBuffer out;
  char* room = nullptr;
  try {
    room = out.make_room(stored_size);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  std::size_t in_used = 0, out_used = 0;
  const libdeflate_result rc = libdeflate_deflate_decompress_ex(
      slot.decompressor, bytes + sizeof kHeader, packed, room, stored_size, &in_used, &out_used);
  if (rc != LIBDEFLATE_SUCCESS || in_used != packed || out_used != stored_size) return std::nullopt;
  if (get_le32(bytes + size - 8) != libdeflate_crc32(0, room, out_used)) return std::nullopt;
  out.extend(out_used);
  return out;
}

#endif

// zlib's streaming decoder, from the descriptor's current offset.
Result<TextBuffer> read_gzip_stream(int fd, std::size_t limit) {
  Input in(fd);
  if (Status s = read_header(in); !s) return s.error();

  Inflater inflater;
  if (!inflater.ok()) return Error::from_errno(ENOMEM);
  z_stream* z = inflater.get();
  TextBuffer out;
  for (;;) {
    Result<bool> more = in.fill();
    if (!more) return more.error();
    if (!*more) return unexpected_eof();
    // Room as large as what came so far: the buffer doubles as it fills, up
    // to the limit. Once the limit is reached, one byte of scratch room
    // tells whether the data go beyond it, without growing the buffer.
    std::size_t out_before = std::min({std::max<std::size_t>(out.size(), 4096), kMaxChunk, limit - out.size()});
    char past_limit;
    char* room = out_before > 0 ? out.make_room(out_before) : &past_limit;
    if (out_before == 0) out_before = 1;
    const std::size_t in_before = in.available();
    z->next_in = const_cast<unsigned char*>(in.data());
    z->avail_in = static_cast<uInt>(in_before);
    z->next_out = reinterpret_cast<unsigned char*>(room);
    z->avail_out = static_cast<uInt>(out_before);
    const int rc = inflate(z, Z_NO_FLUSH);
    const std::size_t consumed = in_before - z->avail_in;
    const std::size_t written = out_before - z->avail_out;
    in.consume(consumed);
    if (room == &past_limit) {
      if (written > 0) return too_large(limit);
    } else {
      out.extend(written);
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_MEM_ERROR) return Error::from_errno(ENOMEM);
    // With input and room both offered, a stream that moves nothing is stuck.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || (consumed == 0 && written == 0)) {
      return Error("corrupt deflate stream");
    }
  }
  unsigned char trailer[8];
  if (Status s = in.take(trailer, sizeof trailer); !s) return s.error();
  const uLong crc = crc32_z(0, reinterpret_cast<const unsigned char*>(out.data()), out.size());
  if (get_le32(trailer) != static_cast<std::uint32_t>(crc) ||
      get_le32(trailer + 4) != static_cast<std::uint32_t>(out.size())) {
    return checksum_mismatch();
  }
  return out;
}

}  // namespace

Result<GzipMember> gzip_member(std::string_view data) {
  const std::size_t bound = deflate_bound(data.size());
  if (bound == 0) return Error::from_errno(ENOMEM);
  // Pages of the buffer that the compressed stream does not reach are never
  // touched, so a large bound costs address space, not memory.
  GzipMember member;
  member.bytes = std::make_unique_for_overwrite<unsigned char[]>(sizeof kHeader + bound + 8);
  unsigned char* out = member.bytes.get();
  std::memcpy(out, kHeader, sizeof kHeader);
  Result<std::size_t> packed = deflate_into(data, out + sizeof kHeader, bound);
  if (!packed) return packed.error();
  member.size = sizeof kHeader + *packed;
  put_le32(out + member.size, crc_of(data.data(), data.size()));
  put_le32(out + member.size + 4, static_cast<std::uint32_t>(data.size()));
  member.size += 8;
  return member;
}

Result<TextBuffer> read_gzip(int fd, std::size_t limit) {
  const off_t start = ::lseek(fd, 0, SEEK_CUR);
  if (start < 0) return read_gzip_stream(fd, limit);  // a pipe or the like: no second pass
#if TESMO_HAVE_LIBDEFLATE
  if (std::optional<TextBuffer> whole = read_whole_member(fd, start, limit)) return std::move(*whole);
  // Anything the fast path does not take, damage included, is read again by
  // the streaming decoder, whose messages say what is wrong.
  if (::lseek(fd, start, SEEK_SET) != start) return Error::from_errno(errno);
#endif
  return read_gzip_stream(fd, limit);
}

}  // namespace tesmo
