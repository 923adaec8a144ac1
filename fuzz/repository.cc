// The repository operations of repo.h on random `.tesmo` trees. Each input
// is a small byte code: its first bytes plant a tree below a fresh sandbox,
// the rest is a sequence of operations run on the repository there. The tree
// may hold anything a damaged or hostile repository could: traversing and
// odd HEAD texts, garbage and compressed bombs as objects, directories where
// files belong, FIFOs, and symbolic links to devices, to themselves, to
// nowhere and to a directory beside the repository.
//
// Every error must carry a message (of one line, with
// kCheckSingleLineMessages). After the operations,
// nothing outside sandbox/work/.tesmo may have changed: sandbox/outside must
// hold exactly what was planted there, and sandbox/ and sandbox/work nothing
// new. scripts/fuzz.sh gives this target a time and a memory limit per
// input, so an operation that blocks (on a FIFO) or takes unbounded memory
// (reading a device, inflating a bomb) is reported as well.
//
// The byte code. A missing byte reads as 0, so every input is a program.
//   flags            bit 0: start from the tree init() makes (HEAD on main,
//                    refs/heads/, objects/); otherwise .tesmo is empty
//   steps            steps % (kMaxTreeSteps + 1) tree steps follow
//   step...          a TreeStep byte and its operands, see plant_step
//   operation...     until the input ends (at most kMaxOperations): an
//                    Operation byte and its operands, see run_operation
// Operands are bytes choosing from tables (kNames, ref(), place(),
// content(), the ids known so far) or a length and that many raw bytes.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/store/commit_record.h"
#include "core/store/fs.h"
#include "core/value/json.h"
#include "core/store/object.h"
#include "core/store/repo.h"
#include "test_files.h"

namespace {

// Whether an error message holding a line feed is a finding. Messages show
// on one line in the command-line tool and in logs; texts from the tree
// (branch names, refs) must reach them quoted.
constexpr bool kCheckSingleLineMessages = false;

// The most an object may inflate to here, far below the default, so that a
// bomb fails quickly instead of filling memory.
constexpr std::size_t kMaxObjectSize = std::size_t{4} << 20;

// What the bomb inflates to: more than the memory scripts/fuzz.sh allows
// this target, so a reader that ignores the limit is a finding.
constexpr std::uint64_t kBombSize = std::uint64_t{2} << 30;

constexpr int kMaxTreeSteps = 12;
constexpr int kMaxOperations = 24;

// Raw bytes that may become HEAD or branch text, or a branch name. Writers
// follow these texts, so a traversal in them decides where a file lands;
// bounded, they can climb at most about a third as many directories.
constexpr std::size_t kMaxRawText = 47;
constexpr std::size_t kMaxRawName = 31;
// Raw bytes after a gzip magic (never read as a ref) and raw object texts.
constexpr std::size_t kMaxRawObject = 1024;
constexpr std::size_t kMaxRawJson = 256;

// The sandbox sits this many directories below the process's temporary
// directory, so that no path a run can form climbs out of it and a stray
// write lands where the listing after the run sees it. A raw text holds at
// most (n + 1) / 3 ".." components, and the shallowest directory a name is
// joined to is sandbox/outside/dir, reached through a planted link (every
// other link the harness plants points at a device or at nothing).
constexpr std::size_t kFenceDepth = 16;
static_assert(kFenceDepth + 3 > (kMaxRawText + 1) / 3, "a raw text could climb out of the fence");

const std::string kRunDirPrefix = "tesmo-fuzz-repository-";

struct Sandbox {
  std::string root;      // the process's temporary directory
  std::string top;       // root/f/.../f/sandbox, cleared for every input
  std::string work;      // top/work, the working directory
  std::string repo;      // work/.tesmo
  std::string outside;   // top/outside, planted by the harness only
  std::string expected;  // listing of root after planting
  std::string bomb;      // a gzip file inflating to kBombSize bytes
  std::vector<std::string> timelines;  // canonical timeline texts
};

Sandbox* sandbox = nullptr;

void remove_sandbox() {
  if (!sandbox) return;
  std::error_code ignored;
  std::filesystem::remove_all(sandbox->root, ignored);
}

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  // The input reproduces it; the tree would only be litter in /dev/shm.
  remove_sandbox();
  std::abort();
}

// ---------------------------------------------------------------------------
// Reading the byte code.

class ByteCode {
 public:
  explicit ByteCode(std::string_view bytes) : rest_(bytes) {}
  bool done() const { return rest_.empty(); }

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }

  // A length (one byte, two little-endian ones when `max` needs them) taken
  // modulo max + 1, then that many bytes, or what is left.
  std::string raw(std::size_t max) {
    std::size_t n = byte();
    if (max > 255) n |= std::size_t{byte()} << 8;
    n = std::min(n % (max + 1), rest_.size());
    std::string out(rest_.substr(0, n));
    rest_.remove_prefix(n);
    return out;
  }

 private:
  std::string_view rest_;
};

// Branch names as the tree and the operations use them: ordinary ones,
// nested ones, and names that climb out of refs/heads, are absolute, hold a
// NUL, a line feed or bytes that are not UTF-8. The last entry means raw
// bytes.
const std::vector<std::string> kNames = {
    "main", "dev", "feature/x", "feature", "a//b", "/abs", "x/", "../../../outside/x",
    "../../../../outside/dir/new", "../../../../outside/file", "../../HEAD", "..", ".", "",
    "x\ny", std::string("a\0b", 3), "\xff", "\xc3\xa9t\xc3\xa9", "-", "main\n", "",
};

std::string name(ByteCode& code) {
  const std::size_t pick = code.byte() % kNames.size();
  if (pick == kNames.size() - 1) return code.raw(kMaxRawName);
  return kNames[pick];
}

// Whether commit messages include one that is not UTF-8. The commit is
// stored, but its object is not JSON the reader takes, so the branch then
// points at a commit that no operation can read back.
constexpr bool kNonUtf8Messages = false;

const std::vector<std::string> kMessages = {"", "first", "two\nlines",
                                            kNonUtf8Messages ? "\xff not UTF-8" : "last"};

struct Run {
  explicit Run(std::string_view input) : code(input) {}
  ByteCode code;
  tesmo::Repo repo;
  // Ids to draw from: made-up ones sharing a fan-out directory and a short
  // prefix, then those of everything stored, planted or committed.
  std::vector<std::string> ids = {
      "sha256:" + std::string(64, '0'),
      "sha256:abcd" + std::string(60, '0'),
      "sha256:abcd" + std::string(60, '1'),
  };
  // Texts whose gzip form can be planted at any place.
  std::vector<std::string> texts;

  const std::string& id() { return ids[code.byte() % ids.size()]; }
  std::string message() { return kMessages[code.byte() % kMessages.size()]; }
};

// A ref for resolve and its users: HEAD, a branch name, a full or short id,
// and refs that are not ids at all.
std::string ref(Run& run) {
  switch (run.code.byte() % 10) {
    case 0: return "HEAD";
    case 1: return name(run.code);
    case 2: return run.id();
    case 3: {  // four or more leading hex digits of a known id
      const std::string body = run.id().substr(7);
      return body.substr(0, 4 + run.code.byte() % 8);
    }
    case 4: return "sha256:" + run.id().substr(7, 3 + run.code.byte() % 4);
    case 5: return "sha256:../../../../outside/file";
    case 6: return "abc";
    case 7: return "ABCD";
    case 8: return "sha256:\xc3";
    default: return run.code.raw(kMaxRawName);
  }
}

// ---------------------------------------------------------------------------
// The compressed texts the tree can hold.

// `text` as a gzip file, made by zlib rather than by the store, so that the
// store's reader sees other headers than its own.
std::string gzip(std::string_view text) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2", "");
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate", "");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void put_le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// A valid gzip file of kBombSize zero bytes, built without compressing them
// all: a megabyte of zeros compressed up to a full flush is a run of
// byte-aligned blocks that refer to nothing before them, so it can be
// repeated; an empty final block ends the stream. The CRC of the zeros comes
// from doubling the CRC of the first megabyte.
std::string make_bomb() {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  static_assert(kBombSize % kChunk == 0);
  const std::string zeros(kChunk, '\0');
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2", "");
  std::string chunk(deflateBound(&z, kChunk) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
  z.avail_in = static_cast<uInt>(zeros.size());
  z.next_out = reinterpret_cast<Bytef*>(chunk.data());
  z.avail_out = static_cast<uInt>(chunk.size());
  if (deflate(&z, Z_FULL_FLUSH) != Z_OK || z.avail_in != 0) fail("deflate", "bomb chunk");
  chunk.resize(z.total_out);
  deflateEnd(&z);

  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));
  std::uint64_t done = kChunk;
  while (done < kBombSize) {
    crc = crc32_combine(crc, crc, static_cast<z_off_t>(done));
    done *= 2;
  }
  for (std::uint64_t i = 0; i < kBombSize / kChunk; ++i) out += chunk;
  out += std::string("\x03\x00", 2);  // a final fixed-Huffman block with no data
  put_le32(out, static_cast<std::uint32_t>(crc));
  put_le32(out, static_cast<std::uint32_t>(kBombSize));
  return out;
}

// ---------------------------------------------------------------------------
// The sandbox.

bool lstat_is(const std::string& path, mode_t type) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) fail("mkdir", path);
}

void make_file(const std::string& path, std::string_view data) {
  if (tesmo::Status s = tesmo::write_file(path, data); !s) fail("writing a file", path);
}

// A fresh sandbox: a work directory holding an empty .tesmo, and what the
// harness keeps outside it.
void plant_sandbox() {
  std::error_code error;
  std::filesystem::remove_all(sandbox->top, error);
  if (error) fail("clearing the sandbox", error.message());
  make_dir(sandbox->top);
  make_dir(sandbox->work);
  make_dir(sandbox->repo);
  make_dir(sandbox->outside);
  make_file(sandbox->outside + "/file", "outside\n");
  make_dir(sandbox->outside + "/dir");
  make_file(sandbox->outside + "/dir/keep", "sha256:" + std::string(64, '0') + "\n");
}

// Bytes as printable ASCII, everything else as \xNN: listings compare as
// text and print on one line. The core's debug_quote is not used: the
// harness keeps its own work out of the coverage the fuzzer follows.
std::string escaped(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One line per entry below `dir`, links not followed, by name: the path,
// the type and mode, and the bytes of a file or the target of a link. The
// repository is listed but not entered: anything may change inside it.
void list_tree(const std::string& dir, const std::string& rel, std::string& out) {
  std::vector<std::string> names;
  if (DIR* handle = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(handle)) {
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(handle);
  } else {
    out += escaped(rel) + " cannot be listed\n";
  }
  std::sort(names.begin(), names.end());
  for (const std::string& entry : names) {
    const std::string path = dir + "/" + entry;
    const std::string entry_rel = rel.empty() ? entry : rel + "/" + entry;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    out += escaped(entry_rel) + " mode " + std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode)) {
      out += " size " + std::to_string(st.st_size) + " " + escaped(read_whole(path));
    } else if (S_ISLNK(st.st_mode)) {
      std::error_code ignored;
      out += " -> " + escaped(std::filesystem::read_symlink(path, ignored).string());
    }
    out += "\n";
    if (S_ISDIR(st.st_mode) && path != sandbox->repo) list_tree(path, entry_rel, out);
  }
}

std::string listing() {
  std::string out;
  list_tree(sandbox->root, "", out);
  return out;
}

// Aborts, naming the entries that differ, when anything outside the
// repository is not as planted.
void check_outside_unchanged() {
  const std::string now = listing();
  if (now == sandbox->expected) return;
  const auto lines = [](const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.insert(line);
    return out;
  };
  const std::set<std::string> before = lines(sandbox->expected), after = lines(now);
  std::string diff;
  for (const std::string& l : before) {
    if (!after.count(l)) diff += "\n  gone:  " + l;
  }
  for (const std::string& l : after) {
    if (!before.count(l)) diff += "\n  added: " + l;
  }
  fail("something outside the repository changed", diff);
}

// Directories of earlier runs whose process has died (a timeout or an
// out-of-memory report ends the process without its exit handlers).
void remove_stale_runs(const std::string& base) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    if (!entry.starts_with(kRunDirPrefix)) continue;
    const long pid = std::strtol(entry.c_str() + kRunDirPrefix.size(), nullptr, 10);
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove_all(it->path(), ignored);
  }
}

// ---------------------------------------------------------------------------
// Planting the tree.

enum TreeStep : std::uint8_t {
  kStoreTimeline,     // a timeline text through write_object_text
  kStoreCommit,       // a commit of known ids through write_object_text
  kStoreRaw,          // raw bytes through write_object_text, as if canonical
  kFile,              // place, content
  kDirectory,         // place
  kFifo,              // place
  kLinkZero,          // place: a link to /dev/zero
  kLinkNull,          // place: a link to /dev/null
  kLinkOutsideDir,    // place: a link to sandbox/outside/dir
  kLinkOutsideFile,   // place: a link to sandbox/outside/file
  kLinkOutsideNew,    // place: a link to sandbox/outside/new, which is not there
  kLinkSelf,          // place: a link to its own name
  kLinkDangling,      // place: a link to a missing name beside it
  kTreeStepCount,
};

// A place in the repository, as a path relative to it.
std::string place(Run& run) {
  switch (run.code.byte() % 7) {
    case 0: return "HEAD";
    case 1: return "refs";
    case 2: return "refs/heads";
    case 3: return "refs/heads/" + name(run.code);
    case 4: return "objects";
    case 5: return "objects/" + run.id().substr(7, 2);
    default: {
      const std::string& id = run.id();
      return "objects/" + id.substr(7, 2) + "/" + id.substr(9);
    }
  }
}

// What a planted file holds.
std::string content(Run& run) {
  switch (run.code.byte() % 8) {
    case 0: return "ref: refs/heads/" + name(run.code) + "\n";
    case 1: return run.id() + "\n";
    case 2: return run.code.raw(kMaxRawText);
    case 3: return run.texts.empty() ? std::string() : gzip(run.texts[run.code.byte() % run.texts.size()]);
    case 4: return sandbox->bomb;
    case 5: return "\x1f\x8b" + run.code.raw(kMaxRawObject);
    case 6: return gzip(run.code.raw(kMaxRawJson));
    default: return "";
  }
}

// Makes the directories above `rel` in the repository and clears the entry
// at `rel`, and returns its full path; empty components are skipped ("a//b"
// is a/b). Nothing when it cannot be planted without leaving the
// repository: a component is "." or ".." or holds a NUL, or a directory on
// the way is already a link or a file. The harness never writes through
// what it planted.
std::optional<std::string> clear_place(const std::string& rel) {
  std::vector<std::string> components;
  for (std::size_t begin = 0; begin <= rel.size();) {
    std::size_t end = rel.find('/', begin);
    if (end == std::string::npos) end = rel.size();
    const std::string component = rel.substr(begin, end - begin);
    if (component == "." || component == ".." || component.find('\0') != std::string::npos) return std::nullopt;
    if (!component.empty()) components.push_back(component);
    begin = end + 1;
  }
  if (components.empty()) return std::nullopt;
  std::string path = sandbox->repo;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    path += "/" + components[i];
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (::mkdir(path.c_str(), 0777) != 0) return std::nullopt;
    } else if (!S_ISDIR(st.st_mode)) {
      return std::nullopt;
    }
  }
  path += "/" + components.back();
  std::error_code error;
  std::filesystem::remove_all(path, error);  // does not follow a link
  if (error) return std::nullopt;
  return path;
}

// Stores `text` through the core when objects/ and the fan-out directory are
// directories of their own (or the latter is missing), so the store cannot
// write through a link the harness planted; its id becomes known either way.
void store(Run& run, const std::string& text) {
  const std::string id = tesmo::hash_text(text);
  run.ids.push_back(id);
  run.texts.push_back(text);
  const std::string objects = tesmo::objects_dir(run.repo);
  if (!lstat_is(objects, S_IFDIR)) return;
  struct stat st;
  if (::lstat((objects + "/" + id.substr(7, 2)).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return;
  (void)tesmo::write_object_text(objects, text);
}

std::string commit_text(Run& run) {
  tesmo::Commit c;
  c.schema = run.code.byte() & 1 ? "tesmo.commit.0" : std::string(tesmo::COMMIT_SCHEMA);
  c.timeline = run.id();
  for (int n = run.code.byte() % 3; n > 0; --n) c.parents.push_back(run.id());
  c.author = {"harness", "harness@localhost"};
  c.timestamp = "2024-01-01T00:00:00Z";
  c.message = run.message();
  return tesmo::canonical_json(tesmo::commit_to_json(c));
}

void plant_step(Run& run) {
  const auto step = static_cast<TreeStep>(run.code.byte() % kTreeStepCount);
  switch (step) {
    case kStoreTimeline: return store(run, sandbox->timelines[run.code.byte() % sandbox->timelines.size()]);
    case kStoreCommit: return store(run, commit_text(run));
    case kStoreRaw: return store(run, run.code.raw(kMaxRawJson));
    default: break;
  }
  const std::string rel = place(run);
  // The content is drawn before the place is checked, so that one step
  // always takes the same bytes.
  const std::string data = step == kFile ? content(run) : std::string();
  const std::optional<std::string> path = clear_place(rel);
  if (!path) return;
  const std::string link_name = path->substr(path->rfind('/') + 1);
  int rc = 0;
  switch (step) {
    case kFile: rc = tesmo::write_file(*path, data) ? 0 : -1; break;
    case kDirectory: rc = ::mkdir(path->c_str(), 0777); break;
    case kFifo: rc = ::mkfifo(path->c_str(), 0666); break;
    case kLinkZero: rc = ::symlink("/dev/zero", path->c_str()); break;
    case kLinkNull: rc = ::symlink("/dev/null", path->c_str()); break;
    case kLinkOutsideDir: rc = ::symlink((sandbox->outside + "/dir").c_str(), path->c_str()); break;
    case kLinkOutsideFile: rc = ::symlink((sandbox->outside + "/file").c_str(), path->c_str()); break;
    case kLinkOutsideNew: rc = ::symlink((sandbox->outside + "/new").c_str(), path->c_str()); break;
    case kLinkSelf: rc = ::symlink(link_name.c_str(), path->c_str()); break;
    default: rc = ::symlink((link_name + ".missing").c_str(), path->c_str()); break;
  }
  (void)rc;  // a place that cannot take the entry just stays empty
}

// ---------------------------------------------------------------------------
// The operations.

void check_error(const tesmo::Error& error, const char* operation) {
  if (error.message().empty()) fail("an error without a message from", operation);
  if (kCheckSingleLineMessages && error.message().find('\n') != std::string::npos) {
    fail((std::string("a message of several lines from ") + operation).c_str(),
         escaped(error.message()));
  }
}

template <class T>
bool check(const tesmo::Result<T>& result, const char* operation) {
  if (!result) check_error(result.error(), operation);
  return result.has_value();
}

void check_id(const std::string& id, const char* operation) {
  if (!id.starts_with("sha256:")) fail((std::string(operation) + " gave a non-id").c_str(), escaped(id));
}

enum Operation : std::uint8_t {
  kDiscover,          // start
  kOpen,              // start
  kInit,              // (work, which always holds .tesmo)
  kReadHead,
  kReadBranch,        // name
  kHeadCommit,
  kCurrentBranch,
  kCreateBranch,      // name, flag, ref when the flag byte is odd
  kDeleteBranch,      // name
  kListBranches,
  kSwitchBranch,      // name
  kResolve,           // ref
  kCommitTimeline,    // timeline, flags (author name, e-mail), message
  kCommit,            // id, message
  kReadCommit,        // ref
  kReadCommitId,      // id
  kReadTimelineText,  // ref
  kLog,               // flag, ref when the flag byte is odd
  kOperationCount,
};

// Where discover and open start: the work directory, inside the
// repository, below a missing directory, and beside the repository (which
// walks past the sandbox).
std::string start(Run& run) {
  switch (run.code.byte() % 5) {
    case 0: return sandbox->work;
    case 1: return sandbox->repo;
    case 2: return sandbox->repo + "/refs/heads";
    case 3: return sandbox->work + "/missing/deeper";
    default: return sandbox->outside + "/dir";
  }
}

// A repository found by discover or open becomes the one operated on only
// when it is inside the sandbox's repository: a walk from outside/ climbs
// above the sandbox and may find one that is not the harness's.
void adopt(Run& run, const tesmo::Result<tesmo::Repo>& found) {
  if (!found) return;
  const std::string& root = found->root;
  if (root == sandbox->repo || root.starts_with(sandbox->repo + "/")) run.repo = *found;
}

void run_operation(Run& run) {
  const tesmo::Repo& repo = run.repo;
  switch (static_cast<Operation>(run.code.byte() % kOperationCount)) {
    case kDiscover: {
      tesmo::Result<tesmo::Repo> found = tesmo::discover(start(run));
      check(found, "discover");
      adopt(run, found);
      break;
    }
    case kOpen: {
      tesmo::Result<tesmo::Repo> found = tesmo::open(start(run));
      check(found, "open");
      adopt(run, found);
      break;
    }
    case kInit:
      check(tesmo::init(sandbox->work), "init");
      break;
    case kReadHead:
      check(tesmo::read_head(repo), "read_head");
      break;
    case kReadBranch: {
      tesmo::Result<std::optional<std::string>> id = tesmo::read_branch(repo, name(run.code));
      if (check(id, "read_branch") && *id) check_id(**id, "read_branch");
      break;
    }
    case kHeadCommit: {
      tesmo::Result<std::string> id = tesmo::head_commit(repo);
      if (check(id, "head_commit")) check_id(*id, "head_commit");
      break;
    }
    case kCurrentBranch:
      check(tesmo::current_branch(repo), "current_branch");
      break;
    case kCreateBranch: {
      const std::string branch = name(run.code);
      const std::string at = run.code.byte() & 1 ? ref(run) : "HEAD";
      tesmo::Result<std::string> id = tesmo::create_branch(repo, branch, at);
      if (check(id, "create_branch")) check_id(*id, "create_branch");
      break;
    }
    case kDeleteBranch:
      check(tesmo::delete_branch(repo, name(run.code)), "delete_branch");
      break;
    case kListBranches: {
      tesmo::Result<std::vector<std::pair<std::string, std::string>>> list = tesmo::list_branches(repo);
      if (check(list, "list_branches")) {
        for (const auto& [branch, id] : *list) check_id(id, "list_branches");
      }
      break;
    }
    case kSwitchBranch:
      check(tesmo::switch_branch(repo, name(run.code)), "switch_branch");
      break;
    case kResolve: {
      tesmo::Result<std::string> id = tesmo::resolve(repo, ref(run));
      if (check(id, "resolve")) check_id(*id, "resolve");
      break;
    }
    case kCommitTimeline: {
      const std::string& text = sandbox->timelines[run.code.byte() % sandbox->timelines.size()];
      const std::uint8_t flags = run.code.byte();
      std::optional<std::string> author_name, author_email;
      if (flags & 1) author_name = "someone";
      if (flags & 2) author_email = "some\none@example.com";
      tesmo::Result<std::string> id =
          tesmo::commit_timeline(repo, text, author_name, author_email, run.message());
      if (!check(id, "commit_timeline")) break;
      check_id(*id, "commit_timeline");
      run.ids.push_back(*id);
      // A commit that succeeded is what HEAD now gives, and reads back.
      tesmo::Result<std::string> head = tesmo::head_commit(repo);
      if (!head) fail("HEAD does not read after a commit", head.error().message());
      if (*head != *id) fail("HEAD does not give the new commit", *id + ", but " + *head);
      tesmo::Result<tesmo::Commit> record = tesmo::read_commit_id(repo, *id);
      if (!record) fail("the new commit does not read back", record.error().message());
      if (record->timeline != tesmo::hash_text(text)) fail("the new commit names another timeline", *id);
      break;
    }
    case kCommit: {
      const std::string timeline = run.id();
      tesmo::Result<std::string> id =
          tesmo::commit(repo, timeline, {"harness", "harness@localhost"}, run.message());
      if (!check(id, "commit")) break;
      check_id(*id, "commit");
      run.ids.push_back(*id);
      break;
    }
    case kReadCommit:
      check(tesmo::read_commit(repo, ref(run)), "read_commit");
      break;
    case kReadCommitId:
      check(tesmo::read_commit_id(repo, run.id()), "read_commit_id");
      break;
    case kReadTimelineText:
      check(tesmo::read_timeline_text(repo, ref(run)), "read_timeline_text");
      break;
    case kLog: {
      const bool from_ref = run.code.byte() & 1;
      const std::string from = from_ref ? ref(run) : std::string();
      tesmo::Result<std::vector<tesmo::LogEntry>> entries =
          tesmo::log(repo, from_ref ? std::optional<std::string_view>(from) : std::nullopt);
      if (check(entries, "log")) {
        for (const tesmo::LogEntry& entry : *entries) check_id(entry.id, "log");
      }
      break;
    }
    case kOperationCount:
      break;
  }
}

std::string canonical(std::string_view json) {
  tesmo::Result<tesmo::JsonValue> value = tesmo::parse_json(json);
  if (!value) fail("a timeline of the harness does not parse", json);
  return tesmo::canonical_json(*value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::getenv("TMPDIR");
  if (tesmo::is_directory("/dev/shm")) base = "/dev/shm";
  const std::string base_dir = base && *base ? base : "/tmp";
  remove_stale_runs(base_dir);
  std::string dir = base_dir + "/" + kRunDirPrefix + std::to_string(::getpid()) + "-XXXXXX";
  if (!::mkdtemp(dir.data())) fail("cannot make a temporary directory", dir);

  sandbox = new Sandbox;
  sandbox->root = dir;
  std::string top = dir;
  for (std::size_t i = 0; i < kFenceDepth; ++i) {
    top += "/f";
    make_dir(top);
  }
  sandbox->top = top + "/sandbox";
  sandbox->work = sandbox->top + "/work";
  sandbox->repo = sandbox->work + "/.tesmo";
  sandbox->outside = sandbox->top + "/outside";
  std::atexit(remove_sandbox);
  plant_sandbox();
  sandbox->expected = listing();
  sandbox->bomb = make_bomb();
  sandbox->timelines = {
      canonical(R"({"OTIO_SCHEMA":"Timeline.1","tracks":{"OTIO_SCHEMA":"Stack.1","children":[]}})"),
      canonical(R"({"OTIO_SCHEMA":"Timeline.1","name":"cut","tracks":{"OTIO_SCHEMA":"Stack.1","children":)"
                R"([{"OTIO_SCHEMA":"Track.1","name":"V1","kind":"Video","children":[]}]}})"),
  };
  tesmo::set_max_object_size(kMaxObjectSize);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Run run(std::string_view(reinterpret_cast<const char*>(data), size));
  plant_sandbox();
  run.repo = tesmo::Repo{sandbox->repo};
  run.texts = sandbox->timelines;

  if (run.code.byte() & 1) {
    if (::rmdir(sandbox->repo.c_str()) != 0) fail("rmdir", sandbox->repo);
    tesmo::Result<tesmo::Repo> made = tesmo::init(sandbox->work);
    if (!made) fail("init", made.error().message());
  }
  for (int steps = run.code.byte() % (kMaxTreeSteps + 1); steps > 0; --steps) plant_step(run);
  for (int n = 0; n < kMaxOperations && !run.code.done(); ++n) run_operation(run);

  check_outside_unchanged();
  return 0;
}
