#include "core/store/object.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "core/store/fs.h"
#include "temp_dir.h"
#include "test_files.h"

namespace tesmo {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

constexpr const char* kEmptyId = "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";
constexpr const char* kNullId = "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b";

JsonValue example_value() {
  JsonObject o;
  o.insert("name", "main");
  o.insert("tracks", JsonArray{JsonObject{{"kind", "video"}, {"len", 2.5}}});
  o.insert("id", 7);
  o.insert("ok", true);
  o.insert("note", JsonNull{});
  return o;
}

// ---------------------------------------------------------------------------
// Reference encoders and decoders, straight from zlib.

std::string le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::uint32_t crc_of(std::string_view data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

// Runs a deflate stream set up by `init` over `data` to the end.
std::string run_deflate(std::string_view data, const std::function<void(z_stream*)>& init) {
  z_stream z{};
  init(&z);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  int rc;
  do {
    char buf[65536];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = deflate(&z, Z_FINISH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  deflateEnd(&z);
  return out;
}

std::string raw_deflate(std::string_view data) {
  return run_deflate(data, [](z_stream* z) { deflateInit2(z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); });
}

// A gzip member with the given header bytes around a raw deflate of `data`.
std::string member(const std::string& header, std::string_view data) {
  return header + raw_deflate(data) + le32(crc_of(data)) + le32(static_cast<std::uint32_t>(data.size()));
}

std::string header_with_flags(unsigned char flags) {
  return "\x1f\x8b\x08"s + static_cast<char>(flags) + std::string(5, '\0') + "\xff";
}

std::string gunzip(const std::string& gz) {
  z_stream z{};
  inflateInit2(&z, 31);  // gzip wrapper: zlib checks header and trailer itself
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  std::string out;
  int rc;
  do {
    char buf[65536];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

// Hard-to-compress text: pseudo-random letters in strings of 1000.
JsonValue noisy_value(std::size_t strings) {
  std::mt19937 rng(12345);
  JsonArray items;
  for (std::size_t i = 0; i < strings; ++i) {
    std::string s(1000, ' ');
    for (char& c : s) c = static_cast<char>('!' + rng() % 90);
    items.push_back(std::move(s));
  }
  return items;
}

std::size_t entries_in(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
  return n;
}

// Runs `body` in a forked child and returns what it reported.
std::string in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string report = body();
    (void)write_all(fds[1], report);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return report;
}

class ObjectStore : public testing_support::TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    objects_ = path("objects");
  }

  std::string file_of(const std::string& id) { return *object_path(objects_, id); }

  // Stores `value`, then replaces its file with `bytes`; returns the id.
  std::string plant(const JsonValue& value, const std::string& bytes) {
    Result<std::string> id = write_object(objects_, value);
    EXPECT_TRUE(id.has_value());
    EXPECT_TRUE(write_file(file_of(*id), bytes).has_value());
    return *id;
  }

  std::string read_error(const std::string& id) {
    Result<JsonValue> v = read_object(objects_, id);
    EXPECT_FALSE(v);
    return v ? "" : v.error().message();
  }

  std::string objects_;
};

// ---------------------------------------------------------------------------
// Ids and paths

TEST(HashValue, KnownIds) {
  EXPECT_EQ(hash_value(example_value()),
            "sha256:87eb06dc9268d3e3ce13203a620da62660e2277bcd6a2becea38e18df64c189a");
  EXPECT_EQ(hash_value(JsonObject()), kEmptyId);
  EXPECT_EQ(hash_value(JsonValue()), kNullId);
  EXPECT_NE(hash_value(1), hash_value(1.0));
}

TEST(HashValue, MemberOrderOfConstructionDoesNotMatter) {
  const JsonObject a{{"x", 1}, {"y", JsonArray{2}}, {"z", "3"}};
  const JsonObject b(std::vector<JsonObject::Member>{{"z", "3"}, {"x", 1}, {"y", JsonArray{2}}});
  EXPECT_EQ(hash_value(a), hash_value(b));
}

TEST(ObjectPath, SplitsBodyAfterTwoBytes) {
  EXPECT_EQ(*object_path("objs", kEmptyId), "objs/44/136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
  EXPECT_EQ(*object_path("objs/", "sha256:abc"), "objs/ab/c");
  EXPECT_EQ(*object_path("objs", "sha256:ABC"), "objs/AB/C");
  EXPECT_EQ(*object_path("objs", "sha256:\xc3\xa9xy"), "objs/\xc3\xa9/xy");
}

struct BadId {
  std::string id;
  std::string message;
};

class ObjectPathFailure : public testing::TestWithParam<BadId> {};

TEST_P(ObjectPathFailure, Refused) {
  Result<std::string> p = object_path("objs", GetParam().id);
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ObjectPathFailure,
    testing::Values(BadId{"sha256:", "hash body too short: "}, BadId{"sha256:ab", "hash body too short: ab"},
                    BadId{"SHA256:44136f", "hash missing `sha256:` prefix: SHA256:44136f"},
                    BadId{"sha1:abcdef", "hash missing `sha256:` prefix: sha1:abcdef"},
                    BadId{"sha25", "hash missing `sha256:` prefix: sha25"},
                    BadId{"", "hash missing `sha256:` prefix: "},
                    BadId{"44136fa355", "hash missing `sha256:` prefix: 44136fa355"},
                    BadId{"sha256:a\xc3\xa9x", "hash body cannot be split after two bytes: a\xc3\xa9x"},
                    BadId{"sha256:\xe2\x80\xa8x", "hash body cannot be split after two bytes: \xe2\x80\xa8x"}));

// ---------------------------------------------------------------------------
// Writing

TEST_F(ObjectStore, WritesOneGzipMember) {
  Result<std::string> id = write_object(objects_, JsonObject());
  ASSERT_TRUE(id.has_value()) << id.error().message();
  EXPECT_EQ(*id, kEmptyId);
  const std::string file = objects_ + "/44/136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";
  const std::string bytes = *read_file(file);
  EXPECT_EQ(bytes.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10));
  EXPECT_EQ(bytes.substr(bytes.size() - 8), le32(crc_of("{}")) + le32(2));
  EXPECT_EQ(gunzip(bytes), "{}");
  EXPECT_EQ(*read_object(objects_, *id), JsonValue(JsonObject()));
}

TEST_F(ObjectStore, LargeValueRoundTrips) {
  // A text under and one over a megabyte, where the text buffer moves from
  // the heap to mapped pages. Storing again finds the object present.
  for (std::size_t strings : {300u, 1100u}) {
    const JsonValue value = noisy_value(strings);
    Result<std::string> id = write_object(objects_, value);
    ASSERT_TRUE(id.has_value()) << id.error().message();
    EXPECT_EQ(*id, hash_value(value));
    EXPECT_EQ(gunzip(*read_file(file_of(*id))), canonical_json(value));
    EXPECT_EQ(*read_object(objects_, *id), value);
    EXPECT_EQ(*write_object(objects_, value), *id);
  }
}

// A document of the shape timelines have: the same keys over and over, with
// names and numbers that vary.
JsonValue timeline_like_value(std::size_t clips) {
  std::mt19937 rng(99);
  JsonArray items;
  for (std::size_t i = 0; i < clips; ++i) {
    JsonObject range{{"OTIO_SCHEMA", "TimeRange.1"},
                     {"duration", JsonObject{{"rate", 24.0}, {"value", static_cast<double>(rng() % 500)}}},
                     {"start_time", JsonObject{{"rate", 24.0}, {"value", static_cast<double>(rng() % 90000)}}}};
    items.push_back(JsonObject{{"OTIO_SCHEMA", "Clip.2"},
                               {"name", "A" + std::to_string(rng() % 60) + "C" + std::to_string(rng() % 900)},
                               {"source_range", std::move(range)},
                               {"target_url", "file:///media/reel_" + std::to_string(rng() % 300) + ".mov"},
                               {"enabled", true}});
  }
  return items;
}

TEST_F(ObjectStore, CompressesAtLevelSix) {
  // zlib builds write exactly zlib's level-6 stream; libdeflate's level 6 is
  // never larger than that on such text, where its level 1 is a quarter
  // larger. The header stays fixed either way (XFL 0).
  const JsonValue value = timeline_like_value(4000);
  const std::string text = canonical_json(value);
  Result<std::string> id = write_object(objects_, value);
  ASSERT_TRUE(id.has_value()) << id.error().message();
  const std::string bytes = *read_file(file_of(*id));
  EXPECT_EQ(bytes.substr(0, 10), header_with_flags(0));
  const std::string stream = bytes.substr(10, bytes.size() - 18);
  const std::string zlib6 = raw_deflate(text);
#if TESMO_HAVE_LIBDEFLATE
  EXPECT_LE(stream.size(), zlib6.size());
  const std::string zlib1 =
      run_deflate(text, [](z_stream* z) { deflateInit2(z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); });
  EXPECT_LT(stream.size() * 10, zlib1.size() * 9);
#else
  EXPECT_EQ(stream, zlib6);
#endif
  EXPECT_EQ(gunzip(bytes), text);
}

TEST_F(ObjectStore, MembersAroundTheReadBufferSizeReadBothWays) {
  // Members that end just before, at and after the streaming reader's 32 KiB
  // buffer read the same whole and, with a byte appended (which the one-pass
  // reader does not take), through the streaming decoder.
  std::mt19937 rng(7);
  std::string noise(40000, ' ');
  for (char& c : noise) c = static_cast<char>('!' + rng() % 90);
  for (std::size_t n : {32700u, 32740u, 32758u, 32768u, 32790u, 36000u}) {
    const JsonValue value = noise.substr(0, n);
    Result<std::string> id = write_object(objects_, value);
    ASSERT_TRUE(id.has_value()) << id.error().message();
    EXPECT_EQ(*read_object(objects_, *id), value) << n;
    const std::string file = *read_file(file_of(*id));
    ASSERT_TRUE(write_file(file_of(*id), file + "x").has_value());
    EXPECT_EQ(*read_object(objects_, *id), value) << n;
  }
}

TEST_F(ObjectStore, StoredLengthOutOfReachGoesToTheStreamingDecoder) {
  // A stored length beyond what the deflate data can expand to must not be
  // allocated; the streaming decoder reports the mismatch.
  const JsonValue value = "small";
  const std::string id = *write_object(objects_, value);
  std::string file = *read_file(file_of(id));
  file.replace(file.size() - 4, 4, "\xff\xff\xff\x7f");
  ASSERT_TRUE(write_file(file_of(id), file).has_value());
  EXPECT_EQ(read_object(objects_, id).error().message(),
            "corrupt gzip stream does not have a matching checksum");
}

// ---------------------------------------------------------------------------
// The size limit: no object inflates past it, and none larger is stored.

class ObjectLimit : public ObjectStore {
 protected:
  static constexpr std::size_t kLimit = 1 << 20;
  void SetUp() override {
    ObjectStore::SetUp();
    set_max_object_size(kLimit);
  }
  void TearDown() override {
    set_max_object_size(kDefaultMaxObjectSize);
    ObjectStore::TearDown();
  }
  // An object file whose data are `size` bytes of text, stored under an id
  // of our choosing, as a hostile store would hold it; `stored_size` is the
  // length its trailer claims.
  std::string plant_text(std::size_t size, std::uint32_t stored_size) {
    const std::string text = '"' + std::string(size - 2, 'a') + '"';
    const std::string id = "sha256:" + std::string(64, 'b');
    EXPECT_TRUE(make_dirs(parent_path(file_of(id))).has_value());
    const std::string file = header_with_flags(0) + raw_deflate(text) + le32(crc_of(text)) + le32(stored_size);
    EXPECT_TRUE(write_file(file_of(id), file).has_value());
    return id;
  }
  std::string too_large(const std::string& id) {
    return "object " + id + " inflates past " + std::to_string(kLimit) + " bytes, the most an object may hold";
  }
};

TEST_F(ObjectLimit, ReadsUpToTheLimitAndNoFurther) {
  struct Case {
    std::size_t size;
    bool honest_trailer;  // a lying trailer sends libdeflate's pass to the streaming decoder
    bool reads;
  };
  for (const Case c : {Case{kLimit, true, true}, Case{kLimit, false, true}, Case{kLimit + 1, true, false},
                       Case{kLimit + 1, false, false}, Case{3 * kLimit, true, false},
                       Case{64 * kLimit + 5, false, false}}) {
    const std::string id = plant_text(c.size, c.honest_trailer ? static_cast<std::uint32_t>(c.size) : 16);
    Result<TextBuffer> text = read_object_text(objects_, id);
    SCOPED_TRACE(testing::Message() << c.size << (c.honest_trailer ? " honest" : " lying"));
    if (c.reads && c.honest_trailer) {
      ASSERT_TRUE(text) << text.error().message();
      EXPECT_EQ(text->size(), c.size);
    } else if (c.reads) {
      // All data read, then the trailer's length found wrong.
      ASSERT_FALSE(text);
      EXPECT_EQ(text.error().message(), "corrupt gzip stream does not have a matching checksum");
    } else {
      ASSERT_FALSE(text);
      EXPECT_EQ(text.error().message(), too_large(id));
      EXPECT_EQ(read_error(id), too_large(id));
    }
  }
}

TEST_F(ObjectLimit, ABombTakesNoMoreMemoryThanTheLimit) {
  // 64 MiB of text from a file of about 64 KiB: the child's address space
  // is capped well below what inflating it whole would need.
  const std::string id = plant_text(64 * kLimit, 64 * kLimit);
  const std::string report = in_child([&] {
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer's own mappings exceed any such cap
    const struct rlimit cap = {48u << 20, 48u << 20};
    if (::setrlimit(RLIMIT_DATA, &cap) != 0) return std::string("setrlimit failed");
#endif
    Result<TextBuffer> text = read_object_text(objects_, id);
    return text ? std::string("read it all") : text.error().message();
  });
  EXPECT_EQ(report, too_large(id));
}

TEST_F(ObjectLimit, ASparseFileIsNotReadWhole) {
  // 64 MiB on paper, no disk: a small member, then nothing but holes. The
  // reader must not take the file's size as what to allocate.
  const std::string id = plant_text(16, 16);
  ASSERT_EQ(::truncate(file_of(id).c_str(), off_t{64} << 20), 0);
  const std::string report = in_child([&] {
#if !defined(__SANITIZE_ADDRESS__)
    const struct rlimit cap = {48u << 20, 48u << 20};
    if (::setrlimit(RLIMIT_DATA, &cap) != 0) return std::string("setrlimit failed");
#endif
    Result<TextBuffer> text = read_object_text(objects_, id);
    return text ? std::string(text->view()) : text.error().message();
  });
  // The member is read; the holes after it are ignored, as any bytes after
  // the member are.
  EXPECT_EQ(report, '"' + std::string(14, 'a') + '"');
}

TEST_F(ObjectLimit, ATextLargerThanTheLimitIsNotStored) {
  const JsonValue fits = std::string(kLimit - 2, 'x');
  Result<std::string> id = write_object(objects_, fits);
  ASSERT_TRUE(id) << id.error().message();
  EXPECT_EQ(*read_object(objects_, *id), fits);

  const JsonValue over = std::string(kLimit - 1, 'x');
  Result<std::string> refused = write_object(objects_, over);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "a value of " + std::to_string(kLimit + 1) +
                                           " bytes of text is larger than the " + std::to_string(kLimit) +
                                           " bytes an object may hold");
  EXPECT_FALSE(path_exists(file_of(hash_value(over))));
}

TEST_F(ObjectStore, OnlyRegularFilesAreRead) {
  const std::string id = *write_object(objects_, example_value());
  const std::string file = file_of(id);
  ASSERT_EQ(::unlink(file.c_str()), 0);
  struct Kind {
    const char* label;
    std::function<int()> make;
  };
  for (const Kind& kind : {Kind{"fifo", [&] { return ::mkfifo(file.c_str(), 0666); }},
                           Kind{"device", [&] { return ::symlink("/dev/zero", file.c_str()); }},
                           Kind{"link to a fifo", [&] {
                                  const std::string fifo = path("fifo");
                                  return ::mkfifo(fifo.c_str(), 0666) | ::symlink(fifo.c_str(), file.c_str());
                                }}}) {
    SCOPED_TRACE(kind.label);
    ASSERT_EQ(kind.make(), 0);
    // Refused at once: opening a FIFO for reading would otherwise wait for
    // a writer for ever.
    EXPECT_EQ(read_error(id), "opening " + file);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ::unlink(path("fifo").c_str());
  }
}

TEST_F(ObjectStore, StoresOnce) {
  const std::string id = *write_object(objects_, example_value());
  const std::string file = file_of(id);
  // Backdate the file: a rewrite would give it a new modification time.
  const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  EXPECT_EQ(*write_object(objects_, example_value()), id);
  EXPECT_EQ(stat_path(file)->st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(entries_in(parent_path(file)), 1u);  // no temporary file left
}

TEST_F(ObjectStore, ExistingPathIsNotRepaired) {
  const std::string id = *write_object(objects_, example_value());
  const std::string bytes = *read_file(file_of(id));
  ASSERT_TRUE(write_file(file_of(id), bytes.substr(0, bytes.size() / 2)).has_value());
  EXPECT_EQ(*write_object(objects_, example_value()), id);
  EXPECT_EQ(read_file(file_of(id))->size(), bytes.size() / 2);
  EXPECT_EQ(read_error(id), "unexpected end of file");
}

TEST_F(ObjectStore, FanOutDirectoryCannotBeCreated) {
  ASSERT_TRUE(make_dirs(objects_).has_value());
  ASSERT_TRUE(write_file(objects_ + "/44", "").has_value());
  Result<std::string> id = write_object(objects_, JsonObject());
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().message(), "creating " + objects_ + "/44");
  ASSERT_NE(id.error().cause(), nullptr);
  EXPECT_EQ(id.error().cause()->message(), "File exists (os error 17)");
}

TEST_F(ObjectStore, ObjectFileCannotBeCreated) {
  // With no descriptors to spare, the temporary file cannot be opened.
  const std::string report = in_child([&] {
    const struct rlimit none = {0, 0};
    ::setrlimit(RLIMIT_NOFILE, &none);
    Result<std::string> id = write_object(objects_, JsonObject());
    return id ? "written"s : id.error().message();
  });
  const std::string dir = objects_ + "/44";
  EXPECT_EQ(report, "creating " + dir + "/136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
  EXPECT_EQ(entries_in(dir), 0u);
}

TEST_F(ObjectStore, FailedWriteLeavesNothingBehind) {
  const JsonValue value = noisy_value(3000);  // about 3 MB of text
  const std::string id = hash_value(value);
  const std::string file = file_of(id);
  const std::string report = in_child([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit small = {64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &small);
    Result<std::string> written = write_object(objects_, value);
    return written ? "written"s : written.error().message();
  });
  EXPECT_EQ(report, "File too large (os error 27)");
  EXPECT_FALSE(path_exists(file));
  EXPECT_EQ(entries_in(parent_path(file)), 0u);

  Result<std::string> again = write_object(objects_, value);
  ASSERT_TRUE(again.has_value()) << again.error().message();
  EXPECT_EQ(*again, id);
  EXPECT_EQ(*read_object(objects_, id), value);
  EXPECT_EQ(entries_in(parent_path(file)), 1u);
}

TEST_F(ObjectStore, DeeperThanTheReaderCanBeStoredButNotRead) {
  JsonValue deep = JsonArray{};
  for (int i = 1; i < 128; ++i) deep = JsonArray{std::move(deep)};
  const std::string id = *write_object(objects_, deep);
  Result<JsonValue> back = read_object(objects_, id);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().message(), "parsing object " + id);
  EXPECT_EQ(back.error().cause()->message(), "too many nested arrays and objects at byte 127");
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(ObjectStore, MissingObject) {
  const std::string file = objects_ + "/44/136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";
  Result<JsonValue> v = read_object(objects_, kEmptyId);
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error().message(), "opening " + file);
  EXPECT_EQ(v.error().cause()->message(), "No such file or directory (os error 2)");
}

TEST_F(ObjectStore, PathsInMessagesAreUtf8) {
  objects_ = path("obj\xff");
  EXPECT_EQ(read_error(kEmptyId),
            "opening " + path("obj\xef\xbf\xbd") + "/44/136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
}

TEST_F(ObjectStore, PathErrorsPassThrough) {
  EXPECT_EQ(read_error("sha256:ab"), "hash body too short: ab");
  EXPECT_EQ(read_error("md5:abc"), "hash missing `sha256:` prefix: md5:abc");
}

TEST_F(ObjectStore, OtherReadErrorIsTheSystemText) {
  ASSERT_TRUE(make_dirs(file_of(kNullId)).has_value());
  EXPECT_EQ(read_error(kNullId), "Is a directory (os error 21)");
}

TEST_F(ObjectStore, PlainJsonIsNotGzip) {
  EXPECT_EQ(read_error(plant(JsonObject(), R"({"a":12345})")), "invalid gzip header");
  EXPECT_EQ(read_error(plant(JsonObject(), "{}")), "unexpected end of file");
  EXPECT_EQ(read_error(plant(JsonObject(), "")), "unexpected end of file");
}

TEST_F(ObjectStore, GzipOfInvalidJson) {
  const std::string id = plant(JsonObject(), member(header_with_flags(0), "{\"a\":}"));
  EXPECT_EQ(read_error(id), "parsing object "s + kEmptyId);
}

TEST_F(ObjectStore, ContentOfAnotherIdIsReturnedUnchanged) {
  const std::string empty = *read_file(file_of(*write_object(objects_, JsonObject())));
  const std::string id = plant(JsonValue(), empty);
  EXPECT_EQ(id, kNullId);
  EXPECT_EQ(*read_object(objects_, id), JsonValue(JsonObject()));
}

TEST_F(ObjectStore, BytesAfterTheMemberAreIgnored) {
  const std::string text = canonical_json(example_value());
  const std::string id = plant(example_value(), member(header_with_flags(0), text) + "trailing junk");
  EXPECT_EQ(*read_object(objects_, id), example_value());
}

// Files written by other gzip encoders.
struct Encoding {
  const char* label;
  int level;
  std::string name;  // stored file name, if not empty
  std::string comment;
  std::string extra;
  bool header_crc;
};

class ForeignGzip : public ObjectStore, public testing::WithParamInterface<Encoding> {};

TEST_P(ForeignGzip, Reads) {
  const Encoding& e = GetParam();
  const JsonValue value = noisy_value(50);
  const std::string text = canonical_json(value);
  gz_header header{};
  header.os = 3;
  header.name = e.name.empty() ? Z_NULL : reinterpret_cast<Bytef*>(const_cast<char*>(e.name.c_str()));
  header.comment = e.comment.empty() ? Z_NULL : reinterpret_cast<Bytef*>(const_cast<char*>(e.comment.c_str()));
  header.extra = e.extra.empty() ? Z_NULL : reinterpret_cast<Bytef*>(const_cast<char*>(e.extra.data()));
  header.extra_len = static_cast<uInt>(e.extra.size());
  header.hcrc = e.header_crc;
  header.time = 1700000000;
  const std::string gz = run_deflate(text, [&](z_stream* z) {
    deflateInit2(z, e.level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    deflateSetHeader(z, &header);
  });
  ASSERT_EQ(gunzip(gz), text);
  const std::string id = plant(value, gz);
  Result<JsonValue> back = read_object(objects_, id);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForeignGzip,
    testing::Values(Encoding{"stored", 0, "", "", "", false}, Encoding{"fastest", 1, "", "", "", false},
                    Encoding{"best", 9, "", "", "", false},
                    Encoding{"name", 6, "timeline.json", "", "", false},
                    Encoding{"all_fields", 9, "t.json", "a comment", "XY\x04\0abcd"s, true},
                    Encoding{"header_crc_only", 6, "", "", "", true},
                    Encoding{"longest_name", 6, std::string(65535, 'n'), "", "", false},
                    Encoding{"longest_comment", 6, "", std::string(65535, 'c'), "", false},
                    Encoding{"largest_extra", 6, "", "", std::string(65535, 'x'), true}),
    [](const testing::TestParamInfo<Encoding>& info) { return std::string(info.param.label); });

TEST_F(ObjectStore, ReadsGzwriteOutput) {
  const JsonValue value = example_value();
  const std::string id = hash_value(value);
  ASSERT_TRUE(make_dirs(parent_path(file_of(id))).has_value());
  const std::string text = canonical_json(value);
  gzFile gz = gzopen(file_of(id).c_str(), "wb9");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
  EXPECT_EQ(*read_object(objects_, id), value);
}

// Each corruption of a good file and the message it must give.
struct Corruption {
  const char* label;
  std::function<std::string(const std::string& good, const std::string& text)> make;
  const char* message;
};

class CorruptGzip : public ObjectStore, public testing::WithParamInterface<Corruption> {};

TEST_P(CorruptGzip, Refused) {
  const JsonValue value = noisy_value(100);
  const std::string id = *write_object(objects_, value);
  const std::string good = *read_file(file_of(id));
  ASSERT_GT(good.size(), 65536u);  // the data span more than one input buffer
  ASSERT_TRUE(write_file(file_of(id), GetParam().make(good, canonical_json(value))).has_value());
  EXPECT_EQ(read_error(id), GetParam().message);
}

std::string flip(std::string s, std::size_t pos) {
  s[pos] = static_cast<char>(s[pos] ^ 0x01);
  return s;
}

const char* const kEof = "unexpected end of file";
const char* const kHeader = "invalid gzip header";
const char* const kTooLong = "gzip header field too long";
const char* const kDeflate = "corrupt deflate stream";
const char* const kChecksum = "corrupt gzip stream does not have a matching checksum";

using G = const std::string&;
INSTANTIATE_TEST_SUITE_P(
    Table, CorruptGzip,
    testing::Values(
        Corruption{"empty", [](G, G) { return ""s; }, kEof},
        Corruption{"header_cut", [](G g, G) { return g.substr(0, 9); }, kEof},
        Corruption{"data_cut_early", [](G g, G) { return g.substr(0, 12); }, kEof},
        Corruption{"data_cut_late", [](G g, G) { return g.substr(0, g.size() - 12); }, kEof},
        Corruption{"no_trailer", [](G g, G) { return g.substr(0, g.size() - 8); }, kEof},
        Corruption{"trailer_cut", [](G g, G) { return g.substr(0, g.size() - 1); }, kEof},
        Corruption{"crc_flipped", [](G g, G) { return flip(g, g.size() - 8); }, kChecksum},
        Corruption{"crc_high_byte_flipped", [](G g, G) { return flip(g, g.size() - 5); }, kChecksum},
        Corruption{"size_flipped", [](G g, G) { return flip(g, g.size() - 4); }, kChecksum},
        Corruption{"size_high_byte_flipped", [](G g, G) { return flip(g, g.size() - 1); }, kChecksum},
        Corruption{"garbage_deflate", [](G g, G) { return g.substr(0, 10) + std::string(100, '\xff'); }, kDeflate},
        Corruption{"bad_id1", [](G g, G) { return flip(g, 0); }, kHeader},
        Corruption{"bad_id2", [](G g, G) { return flip(g, 1); }, kHeader},
        Corruption{"bad_method", [](G g, G) { return flip(g, 2); }, kHeader},
        Corruption{"reserved_flag_20", [](G, G t) { return member(header_with_flags(0x20), t); }, kHeader},
        Corruption{"reserved_flag_40", [](G, G t) { return member(header_with_flags(0x40), t); }, kHeader},
        Corruption{"reserved_flag_80", [](G, G t) { return member(header_with_flags(0x80), t); }, kHeader},
        Corruption{"name_too_long",
                   [](G, G t) { return member(header_with_flags(0x08) + std::string(65536, 'n') + '\0', t); }, kTooLong},
        Corruption{"comment_too_long",
                   [](G, G t) { return member(header_with_flags(0x10) + std::string(200000, 'c') + '\0', t); },
                   kTooLong},
        Corruption{"name_unterminated", [](G, G) { return header_with_flags(0x08) + "name"; }, kEof},
        Corruption{"extra_cut", [](G, G) { return header_with_flags(0x04) + "\x10\x00" "abc"; }, kEof},
        Corruption{"header_crc_wrong",
                   [](G, G t) {
                     const std::string h = header_with_flags(0x02);
                     return member(h + le32(crc_of(h) ^ 1).substr(0, 2), t);
                   },
                   kChecksum}),
    [](const testing::TestParamInfo<Corruption>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo
