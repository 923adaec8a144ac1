"""The tesmo command: commit, history and change lists from the files editors export."""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

import tesmo

from . import changes as changes_text
from . import changes_basic
from ._engine import compare, compare_timelines
from .kinds import SCHEMA
from .revisions import resolve as revision
from .errors import CliError
from .files import (ADAPTER_PACKAGES, add_file_options, document_text, document_writer,
                    file_options, is_plain_json, read_document, suffix_of, text_writer,
                    write_document, write_outputs)
from .terminal import shown, status

# diff(1)'s statuses.
SAME, DIFFERENT, TROUBLE = 0, 1, 2

SIDE_HELP = """\
Each side is a ref (HEAD, a branch, a commit id or 4+ of its leading hex
digits) or a timeline file. An argument that names an existing path is read
as a file, anything else as a ref. Prefix it with ref: or file: to force
either reading, e.g. ref:cut.edl for a branch of that name, file:main for a
file called main."""

FORMATS_HELP = """\
.otio and .otio.json files are read and written as plain JSON, without
OpenTimelineIO. Every other format (.edl, .xml, .fcpxml, .aaf, .ale, .otioz,
.otiod and any that an installed adapter plugin registers) goes through
OpenTimelineIO's adapters: pip install opentimelineio plus the plugin
(otio-cmx3600-adapter, otio-fcp-adapter, otio-fcpx-xml-adapter,
otio-aaf-adapter, otio-ale-adapter)."""

MERGE_HELP = """\
The merge base is the nearest commit both histories hold. When REF is
already in the history of HEAD, nothing happens; when HEAD is in the history
of REF, the branch moves to REF (a fast-forward). Otherwise the merge engine
merges the edits of both sides since the base: a clean merge is committed
with parents HEAD and REF. Conflicts are listed one a line (the track, the
clip's position from 1, what each side did) and nothing is committed or
moved (exit status 1): settle them all with -X, or write the merge with -o,
edit it and commit it with `tesmo commit FILE --merge REF`. Warnings go to
stderr and never stop a merge. --annotate and --html show the changes from
the merge base to the merged timeline."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line and exit 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"tesmo: {message} (see '{self.prog} --help')\n")
        sys.exit(TROUBLE)


# ----------------------------------------------------------------------------
# Shared helpers


def open_repo(args: argparse.Namespace) -> tesmo.Repo:
    return tesmo.Repo.discover(args.directory)


def object_path(repo: tesmo.Repo, object_id: str) -> str:
    body = object_id.split(":", 1)[-1]
    return str(repo.root / "objects" / body[:2] / body[2:])


def damaged(repo: tesmo.Repo, ref: str, commit_id: str, error: tesmo.TesmoError) -> CliError:
    """The failure to read what a ref names (commit_id, its full id), with
    the object that failed: the commit, or the timeline it records."""
    try:
        record = repo.read_commit(commit_id)
    except tesmo.TesmoError as failure:
        return CliError(f"{ref}: commit {short(commit_id)} is damaged or unreadable "
                        f"({object_path(repo, commit_id)}): {failure}")
    timeline_id = str(record.get("timeline", ""))
    return CliError(f"{ref}: the timeline of commit {short(commit_id)} is damaged or unreadable "
                    f"({object_path(repo, timeline_id)}): {error}")


def full_id(repo: tesmo.Repo, ref: str) -> str:
    """The full id a ref names, revision suffixes included; the module's
    message when it names nothing."""
    return str(repo.resolve(revision(repo, ref)))


def read_timeline(repo: tesmo.Repo, ref: str, commit_id: Optional[str] = None) -> Any:
    """The timeline a ref names (commit_id when already resolved). A ref
    whose objects do not read is reported with the object's path, not taken
    for a missing ref."""
    if commit_id is None:
        commit_id = full_id(repo, ref)
    try:
        return repo.read_timeline(commit_id)
    except tesmo.TesmoError as error:
        raise damaged(repo, ref, commit_id, error) from None


def head_commit(repo: tesmo.Repo) -> Optional[str]:
    """The commit HEAD names, or None on an unborn branch. A HEAD that cannot
    be read, or a branch file that holds no commit id, is an error."""
    branch = repo.current_branch()  # raises when HEAD is missing or malformed
    if branch is not None and not os.path.lexists(repo.root / "refs" / "heads" / branch):
        return None
    return str(repo.resolve("HEAD"))


def _timeline_or_none(repo: tesmo.Repo, commit_id: str) -> Any:
    """The timeline of a commit, or None when it cannot be read: a damaged
    parent does not keep a new commit from being made on top of it."""
    try:
        return repo.read_timeline(commit_id)
    except tesmo.TesmoError:
        return None


def history(repo: tesmo.Repo, ref: Optional[str]) -> List[Tuple[str, Dict[str, Any]]]:
    """The log from a ref, or from HEAD; only an unborn branch has an empty
    history (the module's log() is empty for a broken HEAD as well)."""
    if ref is not None:
        return list(repo.log(revision(repo, ref)))
    if head_commit(repo) is None:
        return []
    return list(repo.log("HEAD"))


def short(commit_id: str) -> str:
    """The id as a short ref: 12 hex digits without the "sha256:" prefix. A
    branch file may hold anything after the prefix: it is shown escaped."""
    return shown(commit_id.split(":", 1)[-1][:12])


def first_line(text: str) -> str:
    lines = text.splitlines()
    return lines[0] if lines else ""


def author_of(record: Dict[str, Any]) -> str:
    author = record.get("author") or {}
    return shown(author.get("name", "")) if isinstance(author, dict) else ""


def commit_line(commit_id: str, record: Dict[str, Any], author_width: int = 0) -> str:
    """Short id, time, author and the message's first line; the author
    padded to `author_width` so that messages line up."""
    author = author_of(record)
    return (f"{short(commit_id)}  {shown(record.get('timestamp', ''))}  "
            f"{author.ljust(author_width)}  {shown(first_line(str(record.get('message', ''))))}")


def author_width(records: Sequence[Dict[str, Any]]) -> int:
    return max((len(author_of(record)) for record in records), default=0)


def default_email(name: str) -> str:
    """The address of an author named without one: TESMO_AUTHOR_EMAIL when
    set, else one made from the name, so that the commit is not taken for
    the agent's."""
    configured = os.environ.get("TESMO_AUTHOR_EMAIL")
    if configured:
        return configured
    import unicodedata

    plain = unicodedata.normalize("NFKD", name).encode("ascii", "ignore").decode("ascii").lower()
    local = ".".join(part for part in "".join(c if c.isalnum() else " " for c in plain).split())
    return f"{local or 'author'}@localhost"


def say(text: str) -> None:
    """Prints the outcome of work already done. The work stands whether or
    not the line can be written: a failure to write it is reported on
    stderr, and the status stays that of the work."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        warn(f"done, but the result could not be written to stdout: {reason}: {text}")


def colour_on(args: argparse.Namespace) -> bool:
    choice = getattr(args, "color", "auto")
    if choice == "always":
        return True
    if choice == "never":
        return False
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def warn(message: str) -> None:
    """One line on stderr, when there is one."""
    try:
        sys.stderr.write(f"tesmo: {shown(message)}\n")
        sys.stderr.flush()
    except (AttributeError, OSError, ValueError):
        pass


def print_json(value: Any) -> None:
    sys.stdout.write(json.dumps(value, indent=2, ensure_ascii=False) + "\n")


def read_file(path: str, options: Any) -> Any:
    """A timeline file, with a note on a terminal while a slow adapter reads it."""
    with status(f"reading {shown(path)}..."):
        return read_document(path, options)


def in_directory(args: argparse.Namespace, path: str) -> str:
    """A path given on the command line, taken relative to -C DIR."""
    return os.path.join(args.directory, path) if args.directory else path


# ----------------------------------------------------------------------------
# The comparison engine

Records = List[Dict[str, Any]]


def compare_stored(repo: tesmo.Repo, timelines: Sequence[str], from_empty: bool = False) -> List[Records]:
    """The records between each stored timeline (by object id) and the next,
    compared in the core, which reads each timeline once; with from_empty,
    first those of the first timeline against its own tracks emptied."""
    return compare_timelines(str(repo.root), list(timelines), from_empty=from_empty)


# ----------------------------------------------------------------------------
# Commands


def cmd_init(args: argparse.Namespace) -> int:
    target = in_directory(args, args.dir or ".")
    if os.path.isdir(os.path.join(target, ".tesmo")):
        raise CliError(f"{args.dir or '.'} is already a tesmo repository")
    repo = tesmo.Repo.init(target)
    say(f"initialized an empty tesmo repository in {shown(repo.root)}")
    return SAME


def cmd_commit(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    if repo.current_branch() is None:
        # The module would store the timeline before refusing.
        raise CliError("cannot commit while HEAD is detached")
    document = read_file(in_directory(args, args.file), file_options(args))
    # The diff reader refuses what is not a timeline; refuse it before it
    # becomes a commit that no later diff could read.
    tesmo.diff(document, document)
    if args.merge is not None:
        from .merge import commit_resolution

        return commit_resolution(args, repo, document)
    if not args.allow_empty:
        parent = head_commit(repo)
        if parent is not None and _timeline_or_none(repo, parent) == document:
            warn(f"nothing changed since {short(parent)}: {args.file} holds the timeline "
                 "committed there (use --allow-empty to commit it again)")
            return DIFFERENT
    email = args.email
    if email is None and args.author is not None:
        email = default_email(args.author)
    say(repo.commit(document, args.message, args.author, email))
    return SAME


def cmd_log(args: argparse.Namespace) -> int:
    if args.n is not None and args.n < 0:
        raise CliError("-n takes a count of 0 or more")
    repo = open_repo(args)
    if args.clip is not None:
        return clip_log(args, repo)
    if args.track is not None:
        raise CliError("--track needs --clip")
    entries = history(repo, args.ref)
    if args.n is not None:
        entries = entries[:args.n]
    if args.json:
        print_json([dict(record, id=commit_id) for commit_id, record in entries])
    else:
        width = author_width([record for _, record in entries])
        for commit_id, record in entries:
            print(commit_line(commit_id, record, width))
            parents = record.get("parents")
            if isinstance(parents, list) and len(parents) > 1:
                print("    Merge: " + " ".join(short(str(parent)) for parent in parents))
    return SAME


def _names_clip(record: Dict[str, Any], clip: str, track: Optional[str]) -> bool:
    """Whether a record is about the clip NAME (under either of its names,
    for a rename), on the track T when given: its label on either side, or
    its name."""
    op = str(record.get("op", ""))
    if op.startswith("track_") or op.startswith("transition_"):
        return False
    names = [record.get("name")]
    if op == "renamed":
        names += [record.get("before_name"), record.get("after_name")]
    if clip not in names:
        return False
    return track is None or track in (record.get("track"), record.get("before_track"),
                                      record.get("after_track"), record.get("track_name"))


def compare_history(repo: tesmo.Repo, entries: List[Tuple[str, Dict[str, Any]]]) -> List[Records]:
    """The records of each commit of a first-parent history, newest first
    as `entries`: each commit's timeline against its parent's, in one pass
    of the engine over the stored timelines, and the first commit's against
    its own tracks emptied."""
    if not entries:
        return []
    oldest_first = [str(record.get("timeline", "")) for _, record in reversed(entries)]
    return list(reversed(compare_stored(repo, oldest_first, from_empty=True)))


def clip_log(args: argparse.Namespace, repo: tesmo.Repo) -> int:
    """The commits along the first-parent history whose records name a clip.
    The engine compares each commit's timeline with its first parent's, and
    the first commit's with its own tracks emptied, in one pass that reads
    each stored timeline once."""
    entries = history(repo, args.ref)
    with status(f"comparing {len(entries)} commits..."):
        compared = compare_history(repo, entries)
    found: List[Tuple[str, Dict[str, Any], List[Dict[str, Any]]]] = []
    for (commit_id, record), records in zip(entries, compared):
        if args.n is not None and len(found) >= args.n:
            break
        named = [r for r in records if _names_clip(r, args.clip, args.track)]
        if named:
            found.append((commit_id, record, named))
    if args.json:
        print_json([dict(record, id=commit_id, changes=named)
                    for commit_id, record, named in found])
        return SAME
    paint = changes_text.Painter(colour_on(args))
    width = author_width([record for _, record, _ in found])
    for commit_id, record, named in found:
        print(paint(commit_line(commit_id, record, width), "1"))
        for change in named:
            print("    " + changes_text.describe(change))
    return SAME


def cmd_merge(args: argparse.Namespace) -> int:
    from .merge import run_merge

    return run_merge(args)


def cmd_merge_base(args: argparse.Namespace) -> int:
    from .merge import run_merge_base

    return run_merge_base(args)


def cmd_merge_file(args: argparse.Namespace) -> int:
    from .merge_file import run_merge_file

    for name in ("base", "ours", "theirs"):
        setattr(args, name, in_directory(args, getattr(args, name)))
    return run_merge_file(args)


# ----------------------------------------------------------------------------
# Remotes


def cmd_remote(args: argparse.Namespace) -> int:
    from . import remote
    from .bridge import Bridge

    repo = open_repo(args)
    bridge = Bridge(repo)
    args.action, args.name, args.url = (list(args.words) + [None, None, None])[:3]
    if len(args.words) > 3:
        raise CliError(f"tesmo remote takes at most three words, not {len(args.words)}")
    if args.action == "add":
        if args.name is None or args.url is None:
            raise CliError("usage: tesmo remote add NAME URL [--branch-prefix P]")
        url = remote.local_url(args.url, args.directory or ".")
        remote.add_remote(bridge, args.name, url, remote.branch_prefix(args.branch_prefix))
        return SAME
    if args.action in ("remove", "rm"):
        if args.name is None or args.url is not None:
            raise CliError("usage: tesmo remote remove NAME")
        remote.remove_remote(repo, bridge, args.name)
        return SAME
    if args.action is not None:
        raise CliError(f"unknown remote action {shown(args.action)}: add, remove, or none to list")
    for found in remote.remotes(bridge).values():
        if args.verbose:
            where = "" if found.prefix == remote.DEFAULT_PREFIX else f" ({found.prefix}*)"
            say(f"{found.name}\t{shown(found.url)}{where}")
        else:
            say(found.name)
    return SAME


def cmd_clone(args: argparse.Namespace) -> int:
    from . import remote

    url = remote.local_url(args.url, args.directory or ".")
    target = in_directory(args, args.dir or remote.default_directory(url))
    repo, updates, branch = remote.clone_into(target, url, remote.branch_prefix(args.branch_prefix))
    for update in updates:
        say(remote.update_line("origin", update))
    if not updates:
        warn("the remote holds no tesmo branches yet: the clone is empty")
    elif branch in remote.local_branches(repo):
        say(f"cloned into {shown(target)}, on {branch}")
    else:
        say(f"cloned into {shown(target)}; the remote has no main: tesmo switch BRANCH")
    return SAME


def _remote_and_bridge(args: argparse.Namespace) -> Tuple[tesmo.Repo, Any, Any]:
    from . import remote
    from .bridge import Bridge

    repo = open_repo(args)
    bridge = Bridge(repo)
    return repo, bridge, remote.pick(bridge, args.remote)


def cmd_fetch(args: argparse.Namespace) -> int:
    from . import remote

    repo, bridge, chosen = _remote_and_bridge(args)
    for update in remote.fetch(repo, bridge, chosen, warn):
        say(remote.update_line(chosen.name, update))
    return SAME


def cmd_push(args: argparse.Namespace) -> int:
    from . import remote

    args.remote = args.words[0] if args.words else None
    args.branches = args.words[1:]
    repo, bridge, chosen = _remote_and_bridge(args)
    if args.all:
        if args.branches:
            raise CliError("--all pushes every branch: name none")
        branches = sorted(remote.local_branches(repo))
        if not branches:
            raise CliError("no branch has commits to push")
    elif args.branches:
        branches = list(dict.fromkeys(args.branches))
    else:
        current = repo.current_branch()
        if current is None:
            raise CliError("HEAD is detached: name the branches to push")
        branches = [current]
    pushed = remote.push(repo, bridge, chosen, branches, args.force_with_lease)
    for line in pushed.lines:
        if pushed.status == remote.PUSHED:
            say(line)
        else:
            warn(line)
    return pushed.status


def cmd_pull(args: argparse.Namespace) -> int:
    from . import _engine, remote
    from .merge import run_merge

    repo, bridge, chosen = _remote_and_bridge(args)
    current = repo.current_branch()
    if current is None:
        raise CliError("cannot pull while HEAD is detached")
    branch = args.branch or current
    _engine.check_branch_name(branch)
    for update in remote.fetch(repo, bridge, chosen, warn):
        say(remote.update_line(chosen.name, update))
    theirs = remote.tracking_file(str(repo.root), chosen.name, branch)
    if theirs is None:
        raise CliError(f"{chosen.name} has no branch {shown(branch)}")
    if head_commit(repo) is None:
        # An unborn branch starts where the remote's is.
        repo.create_branch(current, theirs)
        say(f"{current} starts at {short(theirs)}, as {chosen.name}/{branch}")
        return SAME
    args.ref = f"{chosen.name}/{branch}"
    if remote.tracked(repo, args.ref) != theirs:
        # A local branch of that name would be merged instead: name the
        # commit the fetch brought.
        args.ref = theirs
    if args.message is None:
        args.message = f"merge {chosen.name}/{branch}"
    args.json = False
    args.annotate = args.html = None
    return run_merge(args)


def cmd_show(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    document = read_timeline(repo, args.ref)
    if args.output:
        write_document(document, in_directory(args, args.output), file_options(args))
    else:
        sys.stdout.write(document_text(document))
    return SAME


def cmd_branch(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    if args.delete is not None:
        if args.name is not None or args.at is not None:
            raise CliError("branch -d takes one name and no --at")
        repo.delete_branch(args.delete)
        return SAME
    if args.name is not None:
        repo.create_branch(args.name, revision(repo, args.at) if args.at is not None else "HEAD")
        return SAME
    if args.at is not None:
        raise CliError("--at needs a branch name")
    if args.remotes:
        from . import remote
        from .bridge import Bridge

        for name in remote.remotes(Bridge(repo)):
            for branch, commit_id in sorted(remote.tracking(repo, name).items()):
                print(f"  {shown(name)}/{shown(branch)}  {short(commit_id)}")
        return SAME
    current = repo.current_branch()
    branches = repo.list_branches()
    paint = changes_text.Painter(colour_on(args))
    rows = [(shown(name), short(commit_id), name == current) for name, commit_id in branches]
    if current is not None and all(name != current for name, _ in branches):
        rows.insert(0, (shown(current), "(no commits yet)", True))
    width = max((len(name) for name, _, _ in rows), default=0)
    for name, where, is_current in rows:
        if is_current:
            print(paint(f"* {name.ljust(width)}", "32") + f"  {where}")
        else:
            print(f"  {name.ljust(width)}  {where}")
    return SAME


def cmd_switch(args: argparse.Namespace) -> int:
    open_repo(args).switch_branch(args.name)
    return SAME


def cmd_resolve(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    print(shown(full_id(repo, args.ref)))
    return SAME


class Side:
    """One side of a diff: a ref of the repository or a timeline file."""

    def __init__(self, args: argparse.Namespace, text: str) -> None:
        self.text = text
        self.ref: Optional[str] = None
        self.path: Optional[str] = None
        self.options = file_options(args)
        if text.startswith("ref:"):
            self.ref = text[len("ref:"):]
        elif text.startswith("file:"):
            self.path = in_directory(args, text[len("file:"):])
        elif os.path.exists(in_directory(args, text)):
            self.path = in_directory(args, text)
        else:
            self.ref = text

    def document(self, repo: Callable[[], tesmo.Repo]) -> Any:
        if self.path is not None:
            if not os.path.exists(self.path):
                raise CliError(f"{self.path}: No such file or directory")
            return read_file(self.path, self.options)
        assert self.ref is not None
        opened = repo()
        try:
            commit_id = full_id(opened, self.ref)
        except (tesmo.TesmoError, CliError):
            if self.looks_like_a_file():
                raise CliError(f"{self.text}: no such file, nor a ref of that name") from None
            raise
        return read_timeline(opened, self.ref, commit_id)

    def looks_like_a_file(self) -> bool:
        """A missing argument that reads as a path: a typo, not a ref."""
        if self.text.startswith("ref:"):
            return False
        return "/" in self.text or suffix_of(self.text) in (".otio", ".otioz", ".otiod") \
            or is_plain_json(self.text) \
            or suffix_of(self.text) in ADAPTER_PACKAGES


def _diff_basic(old: Side, new: Side, repo: Callable[[], tesmo.Repo],
                documents: Optional[Tuple[Any, Any]]) -> List[Dict[str, Any]]:
    """The module's basic diff payloads: `tesmo diff --basic`."""
    if documents is not None:
        found = tesmo.diff(*documents)
    else:
        assert old.ref is not None and new.ref is not None
        try:
            found = repo().diff_refs(revision(repo(), old.ref), revision(repo(), new.ref))
        except tesmo.TesmoError:
            # Say which side failed, and why: a missing ref, or damage.
            old.document(repo)
            new.document(repo)
            raise
    return [change.to_dict() for change in found]


def _compare_refs(old: Side, new: Side, repo: Callable[[], tesmo.Repo]) -> List[Dict[str, Any]]:
    """The engine's records between the timelines of two refs, read from
    the store by the core."""
    assert old.ref is not None and new.ref is not None
    opened = repo()
    timelines = []
    for side in (old, new):
        assert side.ref is not None
        commit_id = full_id(opened, side.ref)
        try:
            timelines.append(str(opened.read_commit(commit_id).get("timeline", "")))
        except tesmo.TesmoError as error:
            raise damaged(opened, side.ref, commit_id, error) from None
    try:
        return compare_stored(opened, timelines)[0]
    except tesmo.TesmoError:
        # Say which side failed, and why.
        old.document(repo)
        new.document(repo)
        raise


def cmd_diff(args: argparse.Namespace) -> int:
    old, new = Side(args, args.old), Side(args, args.new)
    opened: List[tesmo.Repo] = []

    def repo() -> tesmo.Repo:
        if not opened:
            opened.append(open_repo(args))
        return opened[0]

    need_documents = (old.path is not None or new.path is not None
                      or old.looks_like_a_file() or new.looks_like_a_file()
                      or args.annotate is not None or args.html is not None)
    documents: Optional[Tuple[Any, Any]] = None
    if need_documents:
        documents = (old.document(repo), new.document(repo))
    basic = _diff_basic(old, new, repo, documents) if args.basic else None
    records: List[Dict[str, Any]] = []
    if not args.basic or args.annotate is not None or args.html is not None:
        if documents is not None:
            records = compare(*documents)
        else:
            records = _compare_refs(old, new, repo)

    # Every output is made before any is written, and none is written unless
    # all can be.
    outputs = []
    if args.annotate is not None:
        from .annotate import annotate

        assert documents is not None
        path = in_directory(args, args.annotate)
        outputs.append((path, document_writer(annotate(documents[1], records), path,
                                              file_options(args))))
    if args.html is not None:
        from .report import render_report

        assert documents is not None
        with status("drawing the report..."):
            # Files are labelled by their name, refs as given.
            page = render_report(documents[0], documents[1], changes=records,
                                 before_label=Path(old.path) if old.path is not None else args.old,
                                 after_label=Path(new.path) if new.path is not None else args.new)
        outputs.append((in_directory(args, args.html), text_writer(page)))
    write_outputs(outputs)

    listed = basic if basic is not None else records
    if args.quiet:
        pass
    elif args.json:
        print_json(listed if basic is not None else {"schema": SCHEMA, "changes": records})
    elif listed:
        paint = changes_text.Painter(colour_on(args))
        view = changes_basic if basic is not None else changes_text
        for line in view.change_lines(listed, paint):
            print(line)
        print(view.summary(listed))
    return DIFFERENT if listed else SAME


def version_text() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        number = version("tesmo")
    except PackageNotFoundError:
        number = "unknown"
    try:
        from ._build_info import DEFLATE  # type: ignore[import-not-found,unused-ignore]

        deflate = str(DEFLATE)
    except ImportError:
        deflate = "unknown"
    return f"tesmo {number}\ndeflate: {deflate}"


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        print(version_text())
        parser.exit()


# ----------------------------------------------------------------------------
# The parser


def common_options(parser: argparse.ArgumentParser, defaults: bool) -> None:
    """Options every command takes, before or after its name. Only the main
    parser sets defaults, so a value given before the command survives."""
    default: Any = None if defaults else argparse.SUPPRESS
    parser.add_argument("-C", dest="directory", metavar="DIR", default=default,
                        help="work in DIR: find the repository from there and take "
                             "relative paths from there (default: the current directory)")
    parser.add_argument("--color", choices=("auto", "always", "never"),
                        default="auto" if defaults else argparse.SUPPRESS,
                        help="colour the output: auto (default) colours when stdout is a "
                             "terminal and NO_COLOR is not set; always and never override both")


def merge_options(parser: argparse.ArgumentParser, merged: str) -> None:
    """What tesmo merge and tesmo pull share: the merge commit's message and
    author, how conflicts are settled, and the file that shows them."""
    parser.add_argument("-m", "--message", metavar="MESSAGE",
                        help=f"the merge commit's message (default: merge {merged})")
    parser.add_argument("--author", metavar="NAME", help="the author's name (default: agent)")
    parser.add_argument("--email", metavar="ADDR",
                        help="the author's e-mail address (default with --author: as for "
                             "commit)")
    parser.add_argument("-X", dest="strategy", choices=("ours", "theirs"),
                        help="settle every conflict with that side's version and commit")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write the merged timeline (ours at each conflict, theirs with -X "
                             "theirs) with a marker on each conflicting clip (.otio or any "
                             "adapter format)")


def build_parser() -> Parser:
    parser = Parser(
        prog="tesmo",
        description="Version control for edit timelines: commit the files editors "
                    "export, read their history and compare cuts.",
        epilog=FORMATS_HELP + "\n\nErrors are one line on stderr and exit status 2.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=VersionAction,
                        help="show the version and the deflate library the store uses")
    common_options(parser, defaults=True)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    def command(name: str, summary: str, run: Callable[[argparse.Namespace], int],
                epilog: Optional[str] = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, epilog=epilog,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        common_options(sub, defaults=False)
        sub.set_defaults(run=run)
        return sub

    sub = command("init", "create an empty repository (.tesmo/) in DIR", cmd_init)
    sub.add_argument("dir", nargs="?", metavar="DIR", help="where to create it (default: .)")

    sub = command("commit", "commit the timeline in FILE on the current branch; "
                  "prints the commit id", cmd_commit, epilog=FORMATS_HELP)
    sub.add_argument("file", metavar="FILE", help="a timeline file: .otio, .edl, .xml, ...")
    sub.add_argument("-m", "--message", required=True, metavar="MESSAGE",
                     help="the commit message")
    sub.add_argument("--author", metavar="NAME", help="the author's name (default: agent)")
    sub.add_argument("--email", metavar="ADDR",
                     help="the author's e-mail address (default with --author: "
                          "$TESMO_AUTHOR_EMAIL, else one made from the name, "
                          "e.g. ana.garcia@localhost)")
    sub.add_argument("--allow-empty", action="store_true",
                     help="commit even when FILE holds the timeline of the branch's last "
                          "commit (refused otherwise, with exit status 1)")
    sub.add_argument("--merge", metavar="REF",
                     help="commit FILE as the merge of REF into the current branch (parents: "
                          "HEAD, then REF): how an editor settles the conflicts of tesmo merge")
    add_file_options(sub)

    sub = command("log", "list the commits from REF back to the first, newest first; "
                  "with --clip, the history of one clip", cmd_log,
                  epilog="Each line: short id, UTC time, author, message; a merge commit is "
                         "followed by a line \"Merge:\" and its parents' short ids, and the "
                         "list goes on along its first parent. --clip lists "
                         "the commits along the first-parent history whose changes name "
                         "the clip, with those changes; the first commit's clips count "
                         "as added.")
    sub.add_argument("ref", nargs="?", metavar="REF",
                     help="where to start (default: HEAD); REF~N and REF^N name ancestors")
    sub.add_argument("-n", type=int, metavar="N", help="show at most N commits")
    sub.add_argument("--json", action="store_true",
                     help="print a JSON array of the commit records, each with its id")
    sub.add_argument("--clip", metavar="NAME", help="only commits that change the clip NAME")
    sub.add_argument("--track", metavar="T",
                     help="with --clip: only changes on the track T, a label (V1, A2) "
                          "or a track's name")

    sub = command("merge", "merge REF into the current branch: a fast-forward, or a merge "
                  "commit when the three-way merge is clean; exit status 1 with conflicts",
                  cmd_merge, epilog=MERGE_HELP + "\n\n" + FORMATS_HELP)
    sub.add_argument("ref", metavar="REF", help="the branch or commit to merge")
    merge_options(sub, "REF")
    sub.add_argument("--json", action="store_true",
                     help='print {"schema": "tesmo.merge/1", "status", "commit", "base", '
                          '"conflicts": [...], "warnings": [...]}')
    sub.add_argument("--annotate", metavar="OUT",
                     help="write the merged timeline with a marker on each change from the "
                          "merge base and on each conflict")
    sub.add_argument("--html", metavar="REPORT",
                     help="write a visual report of the changes from the merge base to the "
                          "merged timeline as one HTML page")
    add_file_options(sub, reads=False)

    sub = command("merge-base", "print the id of the nearest common ancestor of A and B; "
                  "exit status 1 when they have none", cmd_merge_base)
    sub.add_argument("a", metavar="A")
    sub.add_argument("b", metavar="B")

    sub = command("merge-file", "merge THEIRS into OURS from their common BASE, three OTIO JSON "
                  "files, as a git merge driver: the result replaces OURS; exit status 1 "
                  "with conflicts", cmd_merge_file)
    sub.add_argument("base", metavar="BASE")
    sub.add_argument("ours", metavar="OURS")
    sub.add_argument("theirs", metavar="THEIRS")

    remote_help = ("Remotes are git repositories: a bare one on a server, GitHub, GitLab or "
                   "a path.\nEach tesmo commit travels as one git commit that holds the "
                   "timeline's text\n(timeline.json) and the commit record (commit.json); "
                   "the same history gives\nthe same git ids everywhere. Branches live on "
                   "the remote under\nrefs/tesmo/heads/, or under refs/heads/P with "
                   "--branch-prefix P for hosts that\nonly take branches. Every commit fetched "
                   "is verified before it is stored.")
    sub = command("remote", "list remotes (-v: with their URLs), add one or remove one",
                  cmd_remote, epilog=remote_help)
    # One list, split by the command: argparse would not take the options
    # between optional positionals (remote add --branch-prefix P NAME URL).
    sub.add_argument("words", nargs="*", metavar="add NAME URL | remove NAME")
    sub.add_argument("-v", "--verbose", action="store_true", help="show each remote's URL")
    sub.add_argument("--branch-prefix", metavar="P",
                     help="with add: keep the branches on the remote as git branches "
                          "refs/heads/P<branch> (e.g. tesmo/; \"\" for refs/heads/<branch>)")

    sub = command("clone", "make a repository in DIR from the remote URL, with its branches, "
                  "on its main (or its only branch)", cmd_clone, epilog=remote_help)
    sub.add_argument("url", metavar="URL")
    sub.add_argument("dir", nargs="?", metavar="DIR",
                     help="where (default: the last part of URL without .git)")
    sub.add_argument("--branch-prefix", metavar="P",
                     help="the remote keeps its branches as refs/heads/P<branch>")

    sub = command("fetch", "bring in the branches of REMOTE (default: origin), each as "
                  "REMOTE/BRANCH, a ref every command takes", cmd_fetch, epilog=remote_help)
    sub.add_argument("remote", nargs="?", metavar="REMOTE")

    sub = command("push", "send branches (default: the current one) to REMOTE in one atomic "
                  "push; exit status 1 when the remote has commits they lack", cmd_push,
                  epilog=remote_help)
    sub.add_argument("words", nargs="*", metavar="REMOTE [BRANCH...]")
    sub.add_argument("--all", action="store_true", help="push every branch")
    sub.add_argument("--force-with-lease", action="store_true",
                     help="replace a remote branch that is not in the history of the local "
                          "one, but only while it is where the last fetch saw it")

    sub = command("pull", "fetch REMOTE, then merge REMOTE/BRANCH (default: the current "
                  "branch's name) into the current branch, as tesmo merge does", cmd_pull,
                  epilog=MERGE_HELP)
    sub.add_argument("remote", nargs="?", metavar="REMOTE")
    sub.add_argument("branch", nargs="?", metavar="BRANCH")
    merge_options(sub, "REMOTE/BRANCH")
    add_file_options(sub, reads=False)

    sub = command("show", "write the timeline committed at REF as OTIO JSON",
                  cmd_show, epilog=FORMATS_HELP)
    sub.add_argument("ref", metavar="REF")
    sub.add_argument("-o", "--output", metavar="FILE",
                     help="write to FILE, in the format its extension names, instead of stdout")
    add_file_options(sub, reads=False)

    sub = command("branch", "list branches (* marks the current one), create one, or delete one",
                  cmd_branch)
    sub.add_argument("name", nargs="?", metavar="NAME", help="create a branch of this name")
    sub.add_argument("--at", metavar="REF", help="where the new branch starts (default: HEAD)")
    sub.add_argument("-d", "--delete", metavar="NAME", help="delete the branch NAME")
    sub.add_argument("-r", "--remotes", action="store_true",
                     help="list the remote branches the last fetch or push saw, as REMOTE/BRANCH")

    sub = command("switch", "make the branch NAME the current one", cmd_switch)
    sub.add_argument("name", metavar="NAME")

    sub = command("resolve", "print the full id that REF names", cmd_resolve)
    sub.add_argument("ref", metavar="REF")

    sub = command("diff", "list the changes from OLD to NEW; exit status 0 when there "
                  "are none, 1 when there are, 2 on trouble", cmd_diff,
                  epilog=SIDE_HELP + "\n\nChanges are grouped by track (V1, A2, ...); positions count a "
                         "track's clips from 1;\nframes gained are positive; lengths are in "
                         "frames at each clip's own rate,\nwith timecode.\n\n" + FORMATS_HELP)
    sub.add_argument("old", metavar="OLD", help="the earlier cut: a ref or a timeline file")
    sub.add_argument("new", metavar="NEW", help="the later cut: a ref or a timeline file")
    sub.add_argument("--json", action="store_true",
                     help='print the change records as JSON: {"schema": "tesmo.changes/1", '
                          '"changes": [...]} (see docs/changes.md)')
    sub.add_argument("--basic", action="store_true",
                     help="list the tesmo module's basic diff instead (tesmo.diff: ten kinds "
                          "of change); with --json, its payloads as one JSON array. "
                          "--annotate and --html still show the engine's records")
    sub.add_argument("-q", "--quiet", action="store_true",
                     help="print nothing, not even --json; the exit status tells")
    sub.add_argument("--annotate", metavar="OUT",
                     help="write NEW to OUT (.otio or any adapter format) with a marker "
                          "on each clip a change names")
    sub.add_argument("--html", metavar="REPORT",
                     help="write a visual report of the changes as one HTML page")
    add_file_options(sub)
    return parser


def run(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        # Words after an option (tesmo push origin --all main): argparse
        # leaves them over, and the commands that take a list of words
        # take them too.
        if not hasattr(args, "words") or any(word.startswith("-") for word in extra):
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
        args.words = list(args.words) + extra
    if args.directory and not os.path.isdir(args.directory):
        reason = "not a directory" if os.path.exists(args.directory) else "no such directory"
        return fail(f"-C {args.directory}: {reason}")
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except tesmo.TesmoError as error:
        return fail(str(error))
    except CliError as error:
        return fail(str(error))
    except OSError as error:
        if error.filename is not None and error.strerror:
            return fail(f"{error.filename}: {error.strerror}")
        return fail(error.strerror or str(error))
    return status


def fail(message: str) -> int:
    """Reports a failure as one line on stderr, and gives the status for it.
    Whatever the message holds (line feeds, escape sequences from a file or
    an argument), it is shown as one line of plain characters."""
    try:
        sys.stdout.flush()
    except (AttributeError, OSError, ValueError):
        pass
    warn(message)
    return TROUBLE
