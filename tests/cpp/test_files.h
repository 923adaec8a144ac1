// What the tests plant and compute by hand: files written in place, and the
// id of a value.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "core/value/error.h"
#include "core/store/fs.h"
#include "core/value/json.h"
#include "core/store/object.h"

namespace tesmo {

// Creates or truncates `path` (0666 before the umask) and writes `data`
// into it: no temporary file, so a test can put any bytes at any name.
inline Status write_file(const std::string& path, std::string_view data) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return Error::from_errno(errno);
  if (Status s = write_all(fd.get(), data); !s) return s;
  return fd.close();
}

// "sha256:" + the digest of the value's canonical text.
inline std::string hash_value(const JsonValue& value) { return hash_text(canonical_json(value)); }

}  // namespace tesmo
