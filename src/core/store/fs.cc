// File-system helpers: descriptors, paths, mkdir -p, whole-file I/O and
// write-then-rename.
#include "core/store/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

#include "core/value/utf8.h"

namespace tesmo {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Status UniqueFd::close() {
  const int fd = std::exchange(fd_, -1);
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return Error::from_errno(errno);
  return {};
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string parent_path(std::string_view path) {
  // Drop trailing slashes, then the last component, then the slashes before it.
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return {};
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return {};
  std::size_t keep = slash;
  while (keep > 0 && path[keep - 1] == '/') --keep;
  if (keep == 0) return "/";
  return std::string(path.substr(0, keep));
}

std::string display_path(std::string_view path) { return utf8_lossy(path); }

namespace {

// The system sees a path only up to its first NUL byte, so a path holding one
// would name another file; no such path names anything.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// A NUL would cut the path short and name another file; such a path names
// nothing.
Error nul_error() { return Error::absent("file name contains a NUL byte"); }

}  // namespace

Result<struct stat> stat_path(const std::string& path) {
  if (has_nul(path)) return nul_error();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::from_errno(errno);
  return st;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

bool names_nothing(const Error& failure, const std::string& path) {
  return failure.is_not_found() || !path_exists(path);
}

bool is_directory(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status make_dirs(const std::string& path) {
  if (path.empty()) return {};
  if (has_nul(path)) return nul_error();
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == EEXIST) {
    if (is_directory(path)) return {};
    return Error::from_errno(EEXIST);
  }
  if (err != ENOENT) return Error::from_errno(err);
  // Create the missing ancestors first, then retry this level.
  const std::string parent = parent_path(path);
  if (!parent.empty() && parent != path) {
    if (Status s = make_dirs(parent); !s) return s;
  }
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  err = errno;
  if (err == EEXIST && is_directory(path)) return {};  // lost a race: fine
  return Error::from_errno(err);
}

Status dirs_below(const std::string& base, std::string_view relative, bool create) {
  std::string path = base;
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    const std::string_view part = relative.substr(0, slash);
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (part.empty()) continue;
    path = join_path(path, part);
    if (has_nul(path)) return nul_error();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      const int err = errno;
      if (err != ENOENT || !create) return Error::from_errno(err);
      if (::mkdir(path.c_str(), 0777) == 0) continue;
      if (errno != EEXIST || ::lstat(path.c_str(), &st) != 0) return Error::from_errno(errno);
      // Another process made it meanwhile: check what it made.
    }
    if (S_ISLNK(st.st_mode)) return Error("not following the symbolic link " + display_path(path));
    if (!S_ISDIR(st.st_mode)) return Error::from_errno(create ? EEXIST : ENOTDIR);
  }
  return {};
}

Result<std::vector<DirEntry>> list_directory(const std::string& path) {
  if (has_nul(path)) return nul_error();
  DIR* handle = ::opendir(path.c_str());
  if (handle == nullptr) return Error::from_errno(errno);
  std::unique_ptr<DIR, int (*)(DIR*)> closer(handle, ::closedir);
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) {
      if (errno != 0) return Error::from_errno(errno);
      return entries;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {  // some file systems leave the type out
      struct stat st;
      const std::string full = join_path(path, name);
      if (::lstat(full.c_str(), &st) != 0) {
        if (errno == ENOENT) continue;
        return Error::from_errno(errno);
      }
      regular = S_ISREG(st.st_mode);
    }
    entries.push_back(DirEntry{std::string(name), regular});
  }
}

Result<std::string> current_dir() {
  std::string buf(PATH_MAX, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return Error::from_errno(errno);
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

namespace {

// A directory fails with the text of EISDIR, any other file that is not
// regular with "not a regular file".
Status regular_file(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return Error::from_errno(EISDIR);
  if (!S_ISREG(st.st_mode)) return Error("not a regular file");
  return {};
}

}  // namespace

Result<UniqueFd> open_regular_file(const std::string& path) {
  if (has_nul(path)) return nul_error();
  // Opening a device can act on it (a tape rewinds, a watchdog arms): what
  // is not a regular file is refused before any open. The type is checked
  // again on the descriptor, for a file swapped in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::from_errno(errno);
  if (Status s = regular_file(st); !s) return s.error();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return Error::from_errno(errno);
  if (::fstat(fd.get(), &st) != 0) return Error::from_errno(errno);
  if (Status s = regular_file(st); !s) return s.error();
  return fd;
}

namespace {

// Appends what the descriptor gives until its end, or until more than `limit`
// bytes are there; returns whether the end was reached.
Result<bool> read_up_to(int fd, std::string& out, std::size_t limit) {
  char buf[16384];
  while (out.size() <= limit) {
    const std::size_t want = std::min(sizeof buf, limit + 1 - out.size());
    const ssize_t n = ::read(fd, buf, want);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return Error::from_errno(errno);
    }
  }
  return false;
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  Result<UniqueFd> fd = open_regular_file(path);
  if (!fd) return fd.error();
  std::string out;
  struct stat st;
  if (::fstat(fd->get(), &st) == 0 && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  Result<bool> done = read_up_to(fd->get(), out, out.max_size() - 1);
  if (!done) return done.error();
  return out;
}

Result<FileStart> read_file_start(const std::string& path, std::size_t limit) {
  Result<UniqueFd> fd = open_regular_file(path);
  if (!fd) return fd.error();
  FileStart start;
  Result<bool> done = read_up_to(fd->get(), start.bytes, limit);
  if (!done) return done.error();
  start.whole = *done;
  if (!start.whole) start.bytes.resize(limit);
  return start;
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// ---------------------------------------------------------------------------
// PendingFile

namespace {

// A name no object, branch or HEAD can have: it starts with ".". The pid,
// a counter and random bits keep concurrent writers apart, and a name left
// behind by a killed process is never needed again: creation retries with
// fresh random bits when a name is taken.
std::string temp_name_for(const std::string& final_path) {
  static std::atomic<unsigned long> counter{0};
  const std::string dir = parent_path(final_path);
  std::string name = final_path.substr(dir.empty() ? 0 : final_path.rfind('/') + 1);
  unsigned long random_bits = 0;
  if (::getentropy(&random_bits, sizeof random_bits) != 0) random_bits = ::clock();
  char suffix[80];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%lu-%016lx", static_cast<long>(::getpid()),
                counter.fetch_add(1, std::memory_order_relaxed), random_bits);
  std::string temp = "." + name + suffix;
  return dir.empty() ? temp : join_path(dir, temp);
}

}  // namespace

Result<PendingFile> PendingFile::create(std::string final_path) {
  if (has_nul(final_path)) return nul_error();
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    temp = temp_name_for(final_path);
    fd = UniqueFd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid() && errno != EEXIST) break;
  }
  if (!fd.valid()) return Error::from_errno(errno);
  return PendingFile(std::move(final_path), std::move(temp), std::move(fd));
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : final_path_(std::move(other.final_path_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      fd_(std::move(other.fd_)) {}

PendingFile::~PendingFile() {
  if (!temp_path_.empty()) {
    const int saved = errno;  // callers read errno of the failure that led here
    (void)fd_.close();
    ::unlink(temp_path_.c_str());
    errno = saved;
  }
}

Status PendingFile::commit() {
  if (Status s = fd_.close(); !s) return s;
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) return Error::from_errno(errno);
  temp_path_.clear();
  return {};
}

Status write_file_atomic(const std::string& path, std::string_view data) {
  Result<PendingFile> file = PendingFile::create(path);
  if (!file) return file.error();
  if (Status s = file->write(data); !s) return s;
  return file->commit();
}

}  // namespace tesmo
