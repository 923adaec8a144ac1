// File-system helpers for the core: an owning descriptor, path joining and
// display, existence tests, recursive mkdir, and whole-file read and write.
// Paths are byte strings exactly as formed; nothing is normalised.
// OS failures come back as Error::from_errno with no context; callers that
// know what the path means attach their own context message.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value/error.h"

namespace tesmo {

// Owns one file descriptor, closing it on destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Closes now and reports the close error, which a destructor cannot.
  Status close();

 private:
  int fd_;
};

// `base` + "/" + `name`, without doubling a trailing slash of `base`.
std::string join_path(std::string_view base, std::string_view name);

// The parent of `path` by removing its last component textually; empty when
// there is none ("/" and "" have no parent).
std::string parent_path(std::string_view path);

// The path as text for messages: invalid UTF-8 becomes U+FFFD.
std::string display_path(std::string_view path);

// Whether a failure to open or list `path` means that it names nothing, as
// a stat of it would tell. ENOENT says so at once; any other failure (a
// component that is not a directory, no descriptor left) is settled by a
// stat, so such a path counts as absent exactly when a stat finds nothing.
bool names_nothing(const Error& failure, const std::string& path);

// stat(2), following symbolic links.
Result<struct stat> stat_path(const std::string& path);
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// mkdir -p with mode 0777 before the umask; an existing directory is fine,
// also when another process creates it concurrently.
Status make_dirs(const std::string& path);

// One entry of a directory listing. `regular` tells a regular file, by the
// entry's own type (a symbolic link is not followed).
struct DirEntry {
  std::string name;
  bool regular;
};

// Checks that every component of `relative` below `base` is a directory of
// its own, not a symbolic link nor another kind of file, creating the
// missing ones (mode 0777 before the umask) when `create` is set. `base`
// itself is trusted as it is. With this, a file written or removed at
// `base`/`relative`/name stays inside `base` whatever links the tree holds.
// A missing component without `create` counts as not found (ENOENT); a
// link fails with "not following the symbolic link " + path, another file
// with the text of EEXIST when creating (as mkdir -p) or ENOTDIR.
Status dirs_below(const std::string& base, std::string_view relative, bool create);

// The entries of a directory, "." and ".." left out, in the order the system
// gives them. An entry that vanishes while its type is looked up is left out.
Result<std::vector<DirEntry>> list_directory(const std::string& path);

// The current working directory.
Result<std::string> current_dir();

// Opens an existing file for reading and checks that it is a regular file,
// following symbolic links, before opening it (opening a device may act on
// it) and again on the descriptor. The open never blocks: a FIFO swapped in
// between would otherwise wait for a writer. A
// directory fails with the text of EISDIR, any other kind of file with "not
// a regular file".
Result<UniqueFd> open_regular_file(const std::string& path);

// The whole contents of a regular file (open_regular_file's checks).
Result<std::string> read_file(const std::string& path);

// The first bytes of a regular file, at most `limit` of them, and whether
// they are all it holds. Reads no more than limit + 1 bytes, however large
// the file.
struct FileStart {
  std::string bytes;
  bool whole = true;
};
Result<FileStart> read_file_start(const std::string& path, std::size_t limit);

// Writes all of `data` to an open descriptor, retrying on EINTR and short writes.
Status write_all(int fd, std::string_view data);


// A file being written under a temporary name in the directory of its final
// path, renamed into place by commit(). The temporary name starts with "."
// so no reader takes it for an object, branch or HEAD. If commit() is never
// reached, the destructor removes the temporary file.
class PendingFile {
 public:
  // Creates the temporary file beside `final_path`. On failure the error is
  // the OS error text, without context.
  static Result<PendingFile> create(std::string final_path);

  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  ~PendingFile();

  int fd() const { return fd_.get(); }
  Status write(std::string_view data) { return write_all(fd_.get(), data); }

  // Closes the file and renames it to the final path.
  Status commit();

 private:
  PendingFile(std::string final_path, std::string temp_path, UniqueFd fd)
      : final_path_(std::move(final_path)), temp_path_(std::move(temp_path)), fd_(std::move(fd)) {}
  std::string final_path_;
  std::string temp_path_;  // empty once committed or moved from
  UniqueFd fd_;
};

// Writes `data` to `path` through a PendingFile: readers see the old file or
// the new one, never a part.
Status write_file_atomic(const std::string& path, std::string_view data);

}  // namespace tesmo
