// Object paths and the store's two operations. A write goes through a
// temporary file renamed into place, so an object path holds either nothing
// or a complete file.
#include "core/store/object.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

#include "core/store/fs.h"
#include "core/store/gzip.h"
#include "core/value/utf8.h"

namespace tesmo {
namespace {

constexpr std::string_view kPrefix = "sha256:";

std::atomic<std::size_t> g_max_object_size{kDefaultMaxObjectSize};

struct ObjectLocation {
  std::string dir;   // objects_dir / first two bytes of the body
  std::string path;  // dir / rest of the body
};

Result<ObjectLocation> locate(std::string_view objects_dir, std::string_view id) {
  if (id.substr(0, kPrefix.size()) != kPrefix) {
    return Error("hash missing `sha256:` prefix: " + std::string(id));
  }
  const std::string_view body = id.substr(kPrefix.size());
  if (body.size() < 3) return Error("hash body too short: " + std::string(body));
  // The fan-out directory is named by two bytes; they must not end inside a
  // multi-byte character.
  if (!is_valid_utf8(body.substr(0, 2))) {
    return Error("hash body cannot be split after two bytes: " + utf8_lossy(body));
  }
  ObjectLocation loc;
  loc.dir = join_path(objects_dir, body.substr(0, 2));
  loc.path = join_path(loc.dir, body.substr(2));
  return loc;
}

// Creates the fan-out directory of an object where missing. The objects
// directory and the fan-out directory must be directories of their own,
// never symbolic links, so that no object is written outside the store;
// the directory holding the objects directory is taken as it is.
Status make_store_dir(std::string_view objects_dir, const ObjectLocation& loc) {
  std::string_view dir = objects_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  const std::string parent = parent_path(dir);
  const std::size_t slash = dir.rfind('/');
  std::string relative(slash == std::string_view::npos ? dir : dir.substr(slash + 1));
  relative.append("/").append(loc.dir.substr(loc.dir.rfind('/') + 1));
  Status made = make_dirs(parent);
  if (made) made = dirs_below(parent, relative, true);
  if (!made && made.error().kind() == ErrorKind::kOs) {
    return made.error().with_context("creating " + display_path(loc.dir));
  }
  return made;
}

}  // namespace

Result<std::string> object_path(std::string_view objects_dir, std::string_view id) {
  Result<ObjectLocation> loc = locate(objects_dir, id);
  if (!loc) return loc.error();
  return std::move(loc->path);
}

bool object_exists(const std::string& path) { return path_exists(path); }

Result<std::string> write_object(const std::string& objects_dir, const JsonValue& value) {
  return write_object_text(objects_dir, canonical_json(value));
}

std::size_t max_object_size() { return g_max_object_size.load(std::memory_order_relaxed); }

void set_max_object_size(std::size_t bytes) { g_max_object_size.store(bytes, std::memory_order_relaxed); }

Result<std::string> write_object_text(const std::string& objects_dir, std::string_view text) {
  // What could not be read back is not stored.
  if (text.size() > max_object_size()) {
    return Error("a value of " + std::to_string(text.size()) + " bytes of text is larger than the " +
                 std::to_string(max_object_size()) + " bytes an object may hold");
  }
  // One text serves both the id and the file, so they cannot disagree.
  std::string id = hash_text(text);
  Result<ObjectLocation> loc = locate(objects_dir, id);
  if (!loc) return loc.error();
  // Any failure of the test just means the write goes ahead.
  if (object_exists(loc->path)) return id;

  if (Status s = make_store_dir(objects_dir, *loc); !s) return s.error();
  Result<PendingFile> file = PendingFile::create(loc->path);
  if (!file) return file.error().with_context("creating " + display_path(loc->path));
  // Compressed only once the object is known to be new: an unchanged
  // timeline committed again costs its id alone.
  Result<GzipMember> packed = gzip_member(text);
  if (!packed) return packed.error();
  if (Status s = write_all(file->fd(), packed->view()); !s) return s.error();
  if (Status s = file->commit(); !s) return s.error();
  return id;
}

Result<TextBuffer> read_object_text(const std::string& objects_dir, std::string_view id) {
  Result<std::string> path = object_path(objects_dir, id);
  if (!path) return path.error();
  // Only a regular file is an object: a FIFO or a device would hang the
  // read or never end it.
  Result<UniqueFd> fd = open_regular_file(*path);
  if (!fd) {
    // A directory opens and then fails to read, which has always been
    // reported by the system's text alone.
    if (fd.error().os_error() == EISDIR) return fd.error();
    return fd.error().with_context("opening " + display_path(*path));
  }
  const std::size_t limit = max_object_size();
  Result<TextBuffer> text = read_gzip(fd->get(), limit);
  if (!text && text.error().kind() == ErrorKind::kTooLarge) {
    return Error("object " + std::string(id) + " inflates past " + std::to_string(limit) +
                 " bytes, the most an object may hold");
  }
  return text;
}

Error object_parse_error(const Error& cause, std::string_view id) {
  return cause.with_context("parsing object " + std::string(id));
}

Result<JsonValue> read_object(const std::string& objects_dir, std::string_view id) {
  Result<TextBuffer> text = read_object_text(objects_dir, id);
  if (!text) return text.error();
  Result<JsonValue> value = parse_json(text->view());
  if (!value) return object_parse_error(value.error(), id);
  return value;
}

}  // namespace tesmo
