// Object paths and the store's two operations. A write goes through a
// temporary file renamed into place, so an object path holds either nothing
// or a complete file.
#include "core/object.h"

#include <fcntl.h>

#include <cerrno>

#include "core/fs.h"
#include "core/gzip.h"
#include "core/utf8.h"

namespace tesmo {
namespace {

constexpr std::string_view kPrefix = "sha256:";

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

Result<std::string> write_object_text(const std::string& objects_dir, std::string_view text) {
  // One text serves both the id and the file, so they cannot disagree.
  std::string id = hash_text(text);
  Result<ObjectLocation> loc = locate(objects_dir, id);
  if (!loc) return loc.error();
  // Any failure of the test just means the write goes ahead.
  if (object_exists(loc->path)) return id;

  if (Status s = make_dirs(loc->dir); !s) return s.error().with_context("creating " + display_path(loc->dir));
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
  // A NUL would cut the path short and open another file; no object has one.
  UniqueFd fd(path->find('\0') == std::string::npos ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1);
  if (!fd.valid()) {
    const int err = path->find('\0') == std::string::npos ? errno : ENOENT;
    return Error::from_errno(err).with_context("opening " + display_path(*path));
  }
  return read_gzip(fd.get());
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
