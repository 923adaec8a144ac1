// read_object on arbitrary file bytes: the input becomes the content of one
// object file in a store made once per process, so each run costs a write and
// a read of one small file. The store goes in /dev/shm when there is one: on
// a disk file system, replacing a file's content makes ext4 write it out
// before the close returns, which costs more than the rest of a run. Errors must be the object reader's own messages.
// A value that reads is stored again with write_object and must read back
// equal from the file the store writes.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/store/fs.h"
#include "core/value/json.h"
#include "core/store/object.h"
#include "test_files.h"

namespace {

const std::string kId = "sha256:" + std::string(64, 'a');

struct Store {
  std::string objects;
  std::string path;  // of kId
};

Store* store = nullptr;

void remove_store() {
  if (!store) return;
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(store->objects).parent_path(), ignored);
}

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

bool is_reader_message(const std::string& m) {
  return m == "unexpected end of file" || m == "invalid gzip header" || m == "gzip header field too long" ||
         m == "corrupt deflate stream" || m == "corrupt gzip stream does not have a matching checksum" ||
         m == "parsing object " + kId;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::getenv("TMPDIR");
  if (tesmo::is_directory("/dev/shm")) base = "/dev/shm";
  std::string dir = std::string(base && *base ? base : "/tmp") + "/tesmo-fuzz-XXXXXX";
  if (!::mkdtemp(dir.data())) fail("cannot make a temporary directory", dir);
  store = new Store{dir + "/objects", {}};
  tesmo::Result<std::string> path = tesmo::object_path(store->objects, kId);
  if (!path) fail("object_path", path.error().message());
  store->path = *path;
  if (tesmo::Status s = tesmo::make_dirs(tesmo::parent_path(store->path)); !s) fail("make_dirs", s.error().message());
  std::atexit(remove_store);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (tesmo::Status s = tesmo::write_file(store->path, input); !s) fail("writing the object file", s.error().message());
  tesmo::Result<tesmo::JsonValue> value = tesmo::read_object(store->objects, kId);
  if (!value) {
    if (!is_reader_message(value.error().message())) fail("unexpected message", value.error().message());
    return 0;
  }
  // The stored copy goes under its own id, beside the fixed one.
  tesmo::Result<std::string> id = tesmo::write_object(store->objects, *value);
  if (!id) fail("write_object", id.error().message());
  tesmo::Result<tesmo::JsonValue> back = tesmo::read_object(store->objects, *id);
  if (!back) fail("reading a stored value", back.error().message());
  if (!(*back == *value)) fail("stored value reads back different", *id);
  if (tesmo::Result<std::string> p = tesmo::object_path(store->objects, *id); p && *p != store->path) {
    std::error_code ignored;
    std::filesystem::remove(*p, ignored);
  }
  return 0;
}
