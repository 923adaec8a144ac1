// HEAD and branch files: reading, trimming, the name rules, and the branch
// operations. Writers hold the repository lock (lock.h) while they read and
// write, and write through a rename so no reader sees half a file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/store/fs.h"
#include "core/store/lock.h"
#include "core/value/quote.h"
#include "core/store/repo.h"
#include "core/value/utf8.h"

namespace tesmo {

namespace {

constexpr std::string_view kRefPrefix = "ref: refs/heads/";
constexpr std::string_view kIdPrefix = "sha256:";

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// HEAD and branch files hold one line of a few dozen bytes. Anything longer
// than this is malformed, and no more of it is read.
constexpr std::size_t kMaxRefFileSize = 4096;

// A ref file's text: the whole file, or its first kMaxRefFileSize bytes
// when it is longer (`whole` false), which makes it malformed.
struct RefText {
  std::string text;
  bool whole = true;
};

// Reads a small text file that must be UTF-8; failures are wrapped as
// "reading " + path. Only regular files are read.
Result<RefText> read_text(const std::string& path) {
  Result<FileStart> start = read_file_start(path, kMaxRefFileSize);
  if (!start) return start.error().with_context("reading " + display_path(path));
  if (!start->whole) return RefText{std::move(start->bytes), false};
  if (!is_valid_utf8(start->bytes)) {
    return Error("stream did not contain valid UTF-8").with_context("reading " + display_path(path));
  }
  return RefText{std::move(start->bytes), true};
}

// The contents of an overlong ref file for a message: its first bytes
// quoted, and how long it is at least.
std::string overlong_contents(const RefText& ref) {
  return debug_quote(utf8_lossy(std::string_view(ref.text).substr(0, 40))) + "... (over " +
         std::to_string(kMaxRefFileSize) + " bytes)";
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

Status write_head(const Repo& repo, std::string_view name) {
  std::string text(kRefPrefix);
  text.append(name);
  text.push_back('\n');
  return write_file_atomic(head_path(repo), text);
}

// "refs/heads" and the directories of a nested name: the path, relative to
// the repository, of the directory holding the branch file.
std::string branch_dir(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  std::string dir = "refs/heads";
  if (slash != std::string_view::npos) {
    dir.push_back('/');
    dir.append(name.substr(0, slash));
  }
  return dir;
}

}  // namespace

Status write_branch(const Repo& repo, std::string_view name, std::string_view id) {
  // A repository from elsewhere may hold links among its directories; the
  // branch file is written only where it stays inside the repository.
  if (Status s = dirs_below(repo.root, branch_dir(name), true); !s) return s;
  std::string text(id);
  text.push_back('\n');
  return write_file_atomic(branch_path(repo, name), text);
}

std::string branch_path(const Repo& repo, std::string_view name) {
  return join_path(heads_dir(repo), name);
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Char c = decode_utf8(text, begin);
    if (!c.valid || !is_white_space(c.code_point)) break;
    begin += c.length;
  }
  // Walk forward to find where the last non-space character ends.
  std::size_t end = begin, pos = begin;
  while (pos < text.size()) {
    const Utf8Char c = decode_utf8(text, pos);
    pos += c.length;
    if (!c.valid || !is_white_space(c.code_point)) end = pos;
  }
  return text.substr(begin, end - begin);
}

Status check_branch_name(std::string_view name) {
  if (name.empty()) return Error("branch name is empty");
  const auto invalid = [&] { return Error("invalid branch name: " + std::string(name)); };
  if (name.front() == '.' || name.front() == '/') return invalid();
  if (name.back() == '/') return invalid();
  if (name.find("..") != std::string_view::npos) return invalid();
  if (name.find("//") != std::string_view::npos) return invalid();
  for (const char ch : name) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                    ch == '-' || ch == '.' || ch == '/' || ch == '_';
    if (!ok) return invalid();
  }
  return {};
}

Result<HeadState> read_head(const Repo& repo) {
  Result<RefText> ref = read_text(head_path(repo));
  if (!ref) return ref.error();
  if (!ref->whole) return Error("HEAD has unexpected contents: " + overlong_contents(*ref));
  const std::string_view trimmed = trim_white_space(ref->text);
  if (starts_with(trimmed, kRefPrefix)) {
    // Every path built from the name stays below refs/heads only if the
    // name obeys the rules: HEAD may come from another machine.
    const std::string_view name = trimmed.substr(kRefPrefix.size());
    if (!check_branch_name(name)) return Error("HEAD has unexpected contents: " + debug_quote(trimmed));
    return HeadState(OnBranch{std::string(name)});
  }
  if (starts_with(trimmed, kIdPrefix)) return HeadState(Detached{std::string(trimmed)});
  return Error("HEAD has unexpected contents: " + debug_quote(trimmed));
}

Result<std::optional<std::string>> read_branch(const Repo& repo, std::string_view name) {
  const std::string path = branch_path(repo, name);
  Result<RefText> ref = read_text(path);
  if (!ref) {
    if (names_nothing(ref.error(), path)) return std::optional<std::string>();
    return ref.error();
  }
  if (!ref->whole) {
    return Error("branch " + std::string(name) + " has invalid contents: " + overlong_contents(*ref));
  }
  const std::string_view trimmed = trim_white_space(ref->text);
  if (!starts_with(trimmed, kIdPrefix)) {
    return Error("branch " + std::string(name) + " has invalid contents: " + debug_quote(trimmed));
  }
  return std::optional<std::string>(std::string(trimmed));
}

Result<std::string> head_commit(const Repo& repo) {
  Result<HeadState> head = read_head(repo);
  if (!head) return head.error();
  if (const auto* detached = std::get_if<Detached>(&*head)) return detached->id;
  const std::string& name = std::get<OnBranch>(*head).name;
  Result<std::optional<std::string>> id = read_branch(repo, name);
  if (!id) return id.error();
  if (!*id) return Error("HEAD points at " + name + " but branch has no commits yet");
  return std::move(**id);
}

Result<std::optional<std::string>> current_branch(const Repo& repo) {
  Result<HeadState> head = read_head(repo);
  if (!head) return head.error();
  if (const auto* on = std::get_if<OnBranch>(&*head)) return std::optional<std::string>(on->name);
  return std::optional<std::string>();
}

Result<std::string> create_branch(const Repo& repo, std::string_view name, std::string_view at) {
  if (Status s = check_branch_name(name); !s) return s.error();
  Result<RepoLock> lock = RepoLock::acquire(repo);
  if (!lock) return lock.error();
  const std::string path = branch_path(repo, name);
  if (path_exists(path)) return Error("branch " + std::string(name) + " already exists");
  Result<std::string> id = resolve(repo, at);
  if (!id) return id.error();
  if (Status s = write_branch(repo, name, *id); !s) return s.error();
  return id;
}

Status delete_branch(const Repo& repo, std::string_view name) {
  if (Status s = check_branch_name(name); !s) return s;
  Result<RepoLock> lock = RepoLock::acquire(repo);
  if (!lock) return lock.error();
  Result<HeadState> head = read_head(repo);
  if (!head) return head.error();
  if (const auto* on = std::get_if<OnBranch>(&*head); on && on->name == name) {
    return Error("cannot delete the current branch (" + std::string(name) + "); switch first");
  }
  // A branch is a file that a stat finds; a dangling link is none, and
  // unlink would remove it all the same.
  const std::string path = branch_path(repo, name);
  if (!path_exists(path)) return Error("branch " + std::string(name) + " does not exist");
  // Only a file inside the repository is removed, whatever links its
  // directories hold.
  if (Status s = dirs_below(repo.root, branch_dir(name), false); !s) return s;
  if (::unlink(path.c_str()) != 0) {
    return Error::from_errno(errno).with_context("removing " + display_path(path));
  }
  return {};
}

Result<std::vector<std::pair<std::string, std::string>>> list_branches(const Repo& repo) {
  using List = std::vector<std::pair<std::string, std::string>>;
  const std::string dir = heads_dir(repo);
  Result<std::vector<DirEntry>> entries = list_directory(dir);
  if (!entries) {
    if (names_nothing(entries.error(), dir)) return List();
    return entries.error();
  }
  List branches;
  for (const DirEntry& entry : *entries) {
    // Subdirectories hold names with "/" and are not listed. The temporary
    // files of an unfinished write start with a dot, as no valid name does.
    if (!entry.regular || entry.name.front() == '.') continue;
    std::string name = utf8_lossy(entry.name);
    Result<std::optional<std::string>> id = read_branch(repo, name);
    if (!id) return id.error();
    if (!*id) continue;  // removed since the listing
    branches.emplace_back(std::move(name), std::move(**id));
  }
  std::sort(branches.begin(), branches.end());
  return branches;
}

Status switch_branch(const Repo& repo, std::string_view name) {
  if (Status s = check_branch_name(name); !s) return s;
  Result<RepoLock> lock = RepoLock::acquire(repo);
  if (!lock) return lock.error();
  if (!path_exists(branch_path(repo, name))) {
    return Error("branch " + std::string(name) + " does not exist");
  }
  return write_head(repo, name);
}

}  // namespace tesmo
