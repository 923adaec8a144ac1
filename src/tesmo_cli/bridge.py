"""The bridge between tesmo commits and git commits.

Each tesmo commit becomes exactly one git commit, and every byte of it is a
function of the tesmo commit alone:

- its tree holds two files: ``timeline.json``, the timeline's canonical text
  as the store holds it, and ``commit.json``, the commit record's;
- its author and committer are the record's author, at the record's time
  (UTC); its message is the record's message, then a line
  ``Tesmo-Commit: <commit id>``;
- its parents are the git commits of the record's parents, in order.

So one history exported on two machines gives the same git ids, and a plain
git user reads any version with ``git show <commit>:timeline.json``.

The bridge repository is a bare git repository at ``.tesmo/git``. Beside its
own files it keeps ``tesmo-ids``: one line per commit already exported or
imported, the tesmo id's hex digits and the git id, so that an export only
writes what is new. The tesmo module ignores all of it.

What comes from git is verified before any of it is stored: the record's
text must be canonical JSON hashing to the id the commit names, of the
stored schema, with the parents the git commit has; the timeline's text
must hash to the id the record names; and the git commit and its tree must
be exactly the ones this module would write for that record, so that
nothing rides along.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

import tesmo

from . import _engine
from . import git
from .errors import CliError
from .terminal import Progress, shown, status

BRIDGE_DIR = "git"
ID_MAP = "tesmo-ids"
LOCK_FILE = "tesmo.lock"
TIMELINE_FILE = "timeline.json"
RECORD_FILE = "commit.json"
TRAILER = "Tesmo-Commit: "
# Where the bridge keeps its refs: the local branches as last exported, and
# each remote's branches as last fetched and verified.
LOCAL_REFS = "refs/tesmo/heads/"
TRACKING_REFS = "refs/tesmo/remotes/"
# Fetched but not yet verified; removed once the fetch is done either way.
INCOMING_REFS = "refs/tesmo/incoming/"
EXPORT_REF = "refs/tesmo/export"
# The most a blob fetched from elsewhere may hold, as for a stored object.
MAX_BLOB = 1 << 30


# ----------------------------------------------------------------------------
# The git form of a commit, a pure function of the record


def _ident_part(text: str, fallback: str) -> str:
    """A name or e-mail git accepts in an ident line: no angle brackets,
    control characters or surrounding blanks."""
    cleaned = "".join(" " if c in "<>" or ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)
    cleaned = " ".join(cleaned.split())
    return cleaned or fallback


def _days_from_civil(year: int, month: int, day: int) -> int:
    year -= month <= 2
    era = (year if year >= 0 else year - 399) // 400
    year_of_era = year - era * 400
    day_of_year = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    day_of_era = year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year
    return era * 146097 + day_of_era - 719468


def epoch(timestamp: str) -> int:
    """Seconds since 1970 of a stored timestamp (2026-12-07T03:18:24Z);
    times before 1970 become 0, which is what git can record."""
    year, month, day = int(timestamp[0:4]), int(timestamp[5:7]), int(timestamp[8:10])
    hours, minutes, seconds = int(timestamp[11:13]), int(timestamp[14:16]), int(timestamp[17:19])
    days = _days_from_civil(year, month, day)
    return max(0, days * 86400 + hours * 3600 + minutes * 60 + seconds)


def ident(record: Dict[str, Any]) -> bytes:
    author = record["author"]
    name = _ident_part(str(author["name"]), "unknown")
    email = _ident_part(str(author["email"]), "unknown")
    return f"{name} <{email}> {epoch(str(record['timestamp']))} +0000".encode("utf-8")


def message(record: Dict[str, Any], tesmo_id: str) -> bytes:
    """The record's message without NULs and surrounding blank lines, then
    the trailer naming the tesmo commit."""
    lines = [line.rstrip() for line in str(record["message"]).replace("\0", "")
             .replace("\r\n", "\n").replace("\r", "\n").split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    while lines and not lines[0]:
        lines.pop(0)
    body = "\n".join(lines) or "(no message)"
    return f"{body}\n\n{TRAILER}{tesmo_id}\n".encode("utf-8")


def object_id(kind: str, data: bytes) -> str:
    return hashlib.sha1(f"{kind} {len(data)}\0".encode("ascii") + data).hexdigest()


def tree(record_blob: str, timeline_blob: str) -> bytes:
    return (b"100644 " + RECORD_FILE.encode() + b"\0" + bytes.fromhex(record_blob) +
            b"100644 " + TIMELINE_FILE.encode() + b"\0" + bytes.fromhex(timeline_blob))


def commit_body(tree_id: str, parents: Sequence[str], record: Dict[str, Any],
                tesmo_id: str) -> bytes:
    who = ident(record)
    head = [b"tree " + tree_id.encode()]
    head += [b"parent " + parent.encode() for parent in parents]
    head += [b"author " + who, b"committer " + who]
    return b"\n".join(head) + b"\n\n" + message(record, tesmo_id)


def _hex(tesmo_id: str) -> str:
    return tesmo_id.split(":", 1)[1]


class Refused(CliError):
    """A fetched commit that failed verification."""


# ----------------------------------------------------------------------------
# The bridge repository


class Bridge:
    def __init__(self, repo: tesmo.Repo) -> None:
        self.repo = repo
        self.root = str(repo.root)
        self.git_dir = os.path.join(self.root, BRIDGE_DIR)
        self._to_git: Optional[Dict[str, str]] = None
        self._to_tesmo: Dict[str, str] = {}

    def exists(self) -> bool:
        return os.path.isfile(os.path.join(self.git_dir, "HEAD"))

    def create(self) -> None:
        """The bare repository, once. Nothing in it is ever unreachable on
        purpose, and what a failed fetch left behind is never needed, so
        git's housekeeping may run as it likes; it only must not drop an
        exported object the id map still names, hence no pruning."""
        if self.exists():
            return
        # No template: the bridge runs no hooks, so it needs no samples. Ids
        # are SHA-1 whatever the user's init.defaultObjectFormat says: the
        # same history must give the same ids everywhere.
        subprocess_args = ["init", "--bare", "--quiet", "--template=", "--object-format=sha1",
                           self.git_dir]
        done = git.run(self.git_dir, subprocess_args, check=False)
        if done.returncode != 0 and "object-format" in done.stderr:
            # A git from before object formats: SHA-1 is all it has.
            done = git.run(self.git_dir, [a for a in subprocess_args if "object-format" not in a],
                           check=False)
        if done.returncode != 0:
            raise CliError(f"cannot create the git bridge in {shown(self.git_dir)}: "
                           f"{git.last_line(done.stderr)}")
        for key, value in (("core.logAllRefUpdates", "false"), ("gc.pruneExpire", "never"),
                           ("fetch.fsckObjects", "true"), ("transfer.fsckObjects", "true")):
            git.run(self.git_dir, ["config", key, value])

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """Holds the bridge for one fetch, push or clone at a time in this
        repository: they share its refs, its id map and its export."""
        fd = os.open(os.path.join(self.git_dir, LOCK_FILE), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                with status("waiting for another tesmo fetch or push in this repository..."):
                    fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    # ------------------------------------------------------------------
    # The id map

    def _load(self) -> Dict[str, str]:
        if self._to_git is None:
            self._to_git = {}
            try:
                with open(os.path.join(self.git_dir, ID_MAP), "rb") as handle:
                    for raw in handle:
                        parts = raw.split()
                        # A line cut short by a crash is skipped: its commit
                        # is exported again, to the same git id.
                        if len(parts) != 2 or len(parts[0]) != 64 or len(parts[1]) not in (40, 64):
                            continue
                        tesmo_id = "sha256:" + parts[0].decode("ascii", "replace")
                        git_id = parts[1].decode("ascii", "replace")
                        self._to_git[tesmo_id] = git_id
                        self._to_tesmo[git_id] = tesmo_id
            except FileNotFoundError:
                pass
        return self._to_git

    def tesmo_id(self, git_id: str) -> Optional[str]:
        self._load()
        return self._to_tesmo.get(git_id)

    def _remember(self, pairs: Sequence[Tuple[str, str]]) -> None:
        if not pairs:
            return
        lines = "".join(f"{_hex(t)} {g}\n" for t, g in pairs).encode("ascii")
        fd = os.open(os.path.join(self.git_dir, ID_MAP), os.O_RDWR | os.O_CREAT | os.O_APPEND,
                     0o644)
        try:
            size = os.fstat(fd).st_size
            if size and os.pread(fd, 1, size - 1) != b"\n":
                # A line cut short by a crash: the new lines start afresh.
                lines = b"\n" + lines
            view = memoryview(lines)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
        mapping = self._load()
        for tesmo_id, git_id in pairs:
            mapping[tesmo_id] = git_id
            self._to_tesmo[git_id] = tesmo_id

    def _present(self, git_ids: Iterable[str]) -> Set[str]:
        wanted = sorted(set(git_ids))
        if not wanted:
            return set()
        done = git.run(self.git_dir, ["cat-file", "--batch-check"],
                       input="".join(f"{g}\n" for g in wanted).encode("ascii"))
        present = set()
        for line in done.stdout.decode("ascii", "replace").splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] == "commit":
                present.add(parts[0])
        return present

    # ------------------------------------------------------------------
    # Export

    def export(self, tips: Iterable[str]) -> Dict[str, str]:
        """The git commit of each tesmo commit in tips, writing the ones not
        yet exported (with their history) in one fast-import."""
        tips = list(dict.fromkeys(tips))
        mapping = self._load()
        for _ in range(2):
            order, records, frontier = self._unexported(tips, mapping)
            present = self._present(frontier.values())
            missing = {t for t, g in frontier.items() if g not in present}
            if not missing:
                break
            # Objects the bridge lost (a hand-pruned repository): written again.
            for tesmo_id in missing:
                self._to_tesmo.pop(mapping.pop(tesmo_id), None)
        if order:
            self._fast_import(order, records)
        return {tip: mapping[tip] for tip in tips}

    def _unexported(self, tips: List[str], mapping: Dict[str, str]) -> Tuple[
            List[str], Dict[str, Tuple[Dict[str, Any], bytes]], Dict[str, str]]:
        """The tesmo commits behind tips not in the map, parents first, their
        records, and the mapped commits where the walk stopped."""
        order: List[str] = []
        records: Dict[str, Tuple[Dict[str, Any], bytes]] = {}
        frontier: Dict[str, str] = {}
        done: Set[str] = set()
        stack: List[Tuple[str, bool]] = [(tip, False) for tip in reversed(tips)]
        while stack:
            commit_id, expanded = stack.pop()
            if expanded:
                if commit_id not in done:
                    done.add(commit_id)
                    order.append(commit_id)
                continue
            if commit_id in done or commit_id in records:
                continue
            if commit_id in mapping:
                frontier[commit_id] = mapping[commit_id]
                done.add(commit_id)
                continue
            text = _engine.object_text(self.root, commit_id)
            # A damaged local object is never sent: others would refuse it.
            record = _engine.verify_commit(text, commit_id)
            records[commit_id] = (record, text)
            stack.append((commit_id, True))
            for parent in reversed(record["parents"]):
                if parent not in done:
                    stack.append((str(parent), False))
        return order, records, frontier

    def _fast_import(self, order: List[str],
                     records: Dict[str, Tuple[Dict[str, Any], bytes]]) -> None:
        mapping = self._load()
        marks: Dict[str, int] = {}
        expected: Dict[str, str] = {}
        with tempfile.TemporaryDirectory(dir=self.git_dir, prefix="export-") as scratch:
            marks_file = os.path.join(scratch, "marks")
            errors_path = os.path.join(scratch, "errors")
            with open(errors_path, "wb") as errors:
                try:
                    process = subprocess.Popen(
                        ["git", f"--git-dir={self.git_dir}", "fast-import", "--quiet", "--force",
                         "--done", f"--export-marks={marks_file}"],
                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=errors,
                        env=git.environment())
                except FileNotFoundError:
                    raise CliError("git is not installed (or not on PATH): remotes travel "
                                   "through git") from None
                assert process.stdin is not None
                stream = process.stdin
                try:
                    # The timelines first, one after another: fast-import
                    # stores each blob as a delta against the blob before it,
                    # so a history of small edits packs to little.
                    blob_marks: Dict[str, int] = {}
                    with Progress("exporting timelines", total=len(order)) as progress:
                        for count, tesmo_id in enumerate(order, 1):
                            record, record_text = records[tesmo_id]
                            timeline_id = str(record["timeline"])
                            if timeline_id not in blob_marks:
                                timeline = _engine.object_text(self.root, timeline_id)
                                if "sha256:" + hashlib.sha256(timeline).hexdigest() != timeline_id:
                                    raise CliError(f"timeline {timeline_id} of commit {tesmo_id} "
                                                   "does not hash to its id: the store is "
                                                   "damaged; nothing was exported")
                                blob_marks[timeline_id] = count
                                stream.write(b"blob\nmark :%d\ndata %d\n" % (count, len(timeline)))
                                stream.write(timeline)
                                stream.write(b"\n")
                                expected[timeline_id] = object_id("blob", timeline)
                            progress.update(count)
                    for count, tesmo_id in enumerate(order, 1):
                        record, record_text = records[tesmo_id]
                        parents = [mapping.get(str(p)) or f":{marks[str(p)]}"
                                   for p in record["parents"]]
                        mark = len(order) + count
                        marks[tesmo_id] = mark
                        body = message(record, tesmo_id)
                        who = ident(record)
                        chunks = [b"reset " + EXPORT_REF.encode() + b"\n"] if not parents else []
                        chunks += [b"commit " + EXPORT_REF.encode() + b"\n",
                                   b"mark :%d\n" % mark, b"author " + who + b"\n",
                                   b"committer " + who + b"\n",
                                   b"data %d\n" % len(body), body, b"\n"]
                        if parents:
                            chunks.append(b"from " + parents[0].encode() + b"\n")
                        chunks += [b"merge " + p.encode() + b"\n" for p in parents[1:]]
                        timeline_mark = blob_marks[str(record["timeline"])]
                        chunks += [b"deleteall\n",
                                   b"M 100644 :%d %s\n" % (timeline_mark, TIMELINE_FILE.encode()),
                                   b"M 100644 inline %s\n" % RECORD_FILE.encode(),
                                   b"data %d\n" % len(record_text), record_text, b"\n\n"]
                        stream.write(b"".join(chunks))
                        expected[tesmo_id + "/record"] = object_id("blob", record_text)
                    stream.write(b"done\n")
                    stream.close()
                except BrokenPipeError:
                    pass
                except BaseException:
                    process.kill()
                    process.wait()
                    raise
                returncode = process.wait()
            if returncode != 0:
                with open(errors_path, "rb") as handle:
                    reason = git.last_line(handle.read().decode("utf-8", "backslashreplace"))
                raise CliError(f"git fast-import failed: {reason}")
            by_mark: Dict[int, str] = {}
            with open(marks_file, "rb") as handle:
                for raw in handle:
                    parts = raw.decode("ascii", "replace").split()
                    if len(parts) == 2 and parts[0].startswith(":"):
                        by_mark[int(parts[0][1:])] = parts[1]
        pairs: List[Tuple[str, str]] = []
        for tesmo_id in order:
            record = records[tesmo_id][0]
            git_id = by_mark[marks[tesmo_id]]
            # What fast-import wrote must be what the importer on the other
            # side rebuilds, or it would refuse this commit.
            tree_id = object_id("tree", tree(expected[tesmo_id + "/record"],
                                             expected[str(record["timeline"])]))
            parents = [mapping[str(p)] for p in record["parents"]]
            if object_id("commit", commit_body(tree_id, parents, record, tesmo_id)) != git_id:
                raise CliError(f"the git commit written for {tesmo_id} is not the one expected "
                               "(is this git rewriting commits?); nothing was exported")
            mapping[tesmo_id] = git_id
            pairs.append((tesmo_id, git_id))
        self._remember(pairs)
        git.run(self.git_dir, ["update-ref", "-d", EXPORT_REF], check=False)

    # ------------------------------------------------------------------
    # Import

    def import_history(self, tips: Sequence[str], source: str) -> Dict[str, str]:
        """Imports the git history behind tips into the store, every commit
        verified before anything is stored, and returns the tesmo id of each
        tip. A commit that fails raises Refused naming it (and source), with
        nothing stored."""
        self._load()
        # The walk stops at what the bridge's refs hold, where every commit
        # is already imported or exported.
        known = [line.split()[0] for line in git.text(self.git_dir, [
            "for-each-ref", "--format=%(objectname)", LOCAL_REFS, TRACKING_REFS]).splitlines()
            if line.strip() and self.tesmo_id(line.split()[0]) is not None]
        listed = git.text(self.git_dir, [
            "rev-list", "--topo-order", "--reverse", "--parents", "--stdin"],
            input="".join(f"{t}\n" for t in tips).encode("ascii") +
            "".join(f"^{k}\n" for k in known).encode("ascii")).split("\n")
        order: List[Tuple[str, List[str]]] = []
        for line in listed:
            parts = line.split()
            if parts and self.tesmo_id(parts[0]) is None:
                order.append((parts[0], parts[1:]))
        imported: Dict[str, Tuple[str, str]] = {}  # git id -> (tesmo id, timeline id)
        blobs: Dict[str, str] = {}  # timeline blob git id -> tesmo id, once verified
        # Each object is verified, then written to a staging store beside the
        # bridge; only once every commit has passed are the files moved into
        # the store. A refusal removes the staging store, and the store never
        # held any of it.
        staging = tempfile.mkdtemp(dir=self.git_dir, prefix="incoming-")
        try:
            with git.ObjectReader(self.git_dir, MAX_BLOB) as reader, \
                    Progress("verifying commits", total=len(order)) as progress:
                for count, (git_id, parents) in enumerate(order, 1):
                    imported[git_id] = self._verify(reader, git_id, parents, imported, blobs,
                                                    source, staging)
                    progress.update(count)
            self._move_into_store(os.path.join(staging, "objects"))
        finally:
            shutil.rmtree(staging, ignore_errors=True)
        self._remember([(imported[g][0], g) for g, _ in order])
        result = {}
        for tip in tips:
            found = self.tesmo_id(tip)
            if found is None:
                raise CliError(f"git commit {tip} from {source} was not imported")
            result[tip] = found
        return result

    def _move_into_store(self, staged: str) -> None:
        objects = os.path.join(self.root, "objects")
        if not os.path.isdir(staged):
            return
        for fan_out in sorted(os.listdir(staged)):
            target = os.path.join(objects, fan_out)
            os.makedirs(target, exist_ok=True)
            for name in os.listdir(os.path.join(staged, fan_out)):
                if not name.startswith("."):
                    os.replace(os.path.join(staged, fan_out, name), os.path.join(target, name))

    def _stored(self, object_id: str) -> bool:
        body = _hex(object_id)
        return os.path.isfile(os.path.join(self.root, "objects", body[:2], body[2:]))

    def _verify(self, reader: git.ObjectReader, git_id: str, parents: List[str],
                imported: Dict[str, Tuple[str, str]], blobs: Dict[str, str],
                source: str, staging: str) -> Tuple[str, str]:
        """(tesmo id, timeline id) of one fetched git commit, once it and
        its tree are exactly what the bridge writes for a verified record;
        its objects the store lacks are written to the staging store."""
        kind, body = reader.read(git_id)
        if kind != "commit":
            raise Refused(f"{source}: git object {git_id} is a {kind}, not a commit; "
                          "nothing was imported")
        head, _, text = body.partition(b"\n\n")
        last = text.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode("utf-8", "replace")
        tesmo_id = last[len(TRAILER):] if last.startswith(TRAILER) else ""
        named = f"commit {tesmo_id}" if tesmo_id else f"git commit {git_id}"

        def refuse(reason: str) -> Refused:
            return Refused(f"{source}: {named} is refused: {reason}; nothing was imported")

        if not tesmo_id:
            raise refuse("it names no tesmo commit (not made by tesmo)")
        header = head.split(b"\n")
        if not header[0].startswith(b"tree "):
            raise refuse("its git commit has no tree")
        tree_id = header[0][5:].decode("ascii", "replace")
        tree_kind, raw_tree = reader.read(tree_id)
        if tree_kind != "tree":
            raise refuse("its git tree is not a tree")
        entries = _tree_entries(raw_tree)
        if set(entries) != {RECORD_FILE, TIMELINE_FILE} or \
                any(mode != "100644" for mode, _ in entries.values()):
            raise refuse(f"its tree must hold exactly {RECORD_FILE} and {TIMELINE_FILE}")
        record_kind, record_text = reader.read(entries[RECORD_FILE][1])
        try:
            record = _engine.verify_commit(record_text, tesmo_id)
        except tesmo.TesmoError as error:
            raise refuse(str(error)) from None
        parent_ids = []
        for parent in parents:
            known = imported[parent][0] if parent in imported else self.tesmo_id(parent)
            if known is None:
                raise refuse(f"its parent {parent} is not a tesmo commit")
            parent_ids.append(known)
        if [str(p) for p in record["parents"]] != parent_ids:
            raise refuse("its record names other parents than its git commit has")
        timeline_id = str(record["timeline"])
        timeline_blob = entries[TIMELINE_FILE][1]
        if blobs.get(timeline_blob) != timeline_id:
            _, timeline = reader.read(timeline_blob)
            try:
                if self._stored(timeline_id):
                    # Text that hashes to a stored object's id is that
                    # object's text, which is canonical.
                    if "sha256:" + hashlib.sha256(timeline).hexdigest() != timeline_id:
                        _engine.verify_timeline(timeline, timeline_id)
                else:
                    _engine.store_verified(staging, timeline, timeline_id, "timeline")
            except tesmo.TesmoError as error:
                raise refuse(f"its timeline: {error}") from None
            blobs[timeline_blob] = timeline_id
        # Nothing else may ride along: the tree and the commit must be the
        # very objects the bridge writes for this record.
        if record_kind != "blob" or raw_tree != tree(entries[RECORD_FILE][1], timeline_blob):
            raise refuse("its git tree is not the one tesmo writes")
        if body != commit_body(tree_id, parents, record, tesmo_id):
            raise refuse("its git commit is not the one tesmo writes for its record")
        if not self._stored(tesmo_id):
            _engine.store_verified(staging, record_text, tesmo_id, "commit")
        return tesmo_id, timeline_id


def _tree_entries(raw: bytes) -> Dict[str, Tuple[str, str]]:
    """name -> (mode, object id) of a raw git tree."""
    entries: Dict[str, Tuple[str, str]] = {}
    position = 0
    while position < len(raw):
        space = raw.find(b" ", position)
        nul = raw.find(b"\0", space + 1)
        if space < 0 or nul < 0 or nul + 21 > len(raw):
            break
        mode = raw[position:space].decode("ascii", "replace")
        name = raw[space + 1:nul].decode("utf-8", "replace")
        entries[name] = (mode, raw[nul + 1:nul + 21].hex())
        position = nul + 21
    return entries
