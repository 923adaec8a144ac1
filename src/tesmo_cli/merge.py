"""tesmo merge: bringing another branch's edits into the current branch.

The store finds where the two histories meet (the merge base, across every
parent); the merge engine in the core pairs the clips of the base, ours and
theirs and decides what merges and what conflicts. This module only runs
them in order, moves nothing until the engine has said the merge is clean
(or -X has settled it), and shows the engine's conflicts and warnings:

- REF already in the history of HEAD: "already up to date", nothing written;
- HEAD in the history of REF: the branch fast-forwards to REF;
- otherwise a three-way merge: a merge commit with parents [HEAD, REF] when
  it is clean or -X settles every conflict; with conflicts left, nothing is
  committed, no ref moves, the conflicts are listed and the status is 1.

``-o FILE`` writes the merged timeline, ours at each conflict, with a marker
on each conflicting clip, for an editor to settle and commit with
``tesmo commit FILE --merge REF``. ``--annotate`` and ``--html`` draw the
changes from the merge base to the merged timeline.
"""

from __future__ import annotations

import argparse
import json
from typing import Any, Dict, List, Optional, Tuple

import tesmo

from . import merge_timelines
from ._engine import commit_merge, fast_forward, is_ancestor, merge_base
from .annotate import annotate, annotate_conflicts
from .changes import number
from .cli import (DIFFERENT, SAME, default_email, full_id, head_commit, in_directory, open_repo,
                  print_json, read_timeline, say, short, warn)
from .errors import CliError
from .files import document_writer, file_options, text_writer, write_outputs
from .otio_json import clips, labelled_tracks, media, schema
from .terminal import shown, status

# The schema name `tesmo merge --json` prints.
MERGE_SCHEMA = "tesmo.merge/1"

Item = Dict[str, Any]


def _position(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def where(item: Item) -> str:
    """A conflict's or warning's place: the track's label and the clip's
    position from 1, on each side where it differs ("V1 clip 3", "V1 clip 3
    in ours, 4 in theirs"). The base's position counts only when ours or
    theirs has none. A warning gives its clip's position in the merged
    timeline ("index")."""
    merged = _position(item.get("index"))
    if merged is not None:
        return f"{shown(item.get('track') or '?')} clip {merged + 1}"
    sides = [(side, _position(item.get(f"{side}_index"))) for side in ("ours", "theirs", "base")]
    present = [(side, index) for side, index in sides if index is not None]
    if len(present) == 3:
        present = present[:2]
    track = shown(item.get("track") or "?")
    if not present:
        return track
    if len({index for _, index in present}) == 1:
        return f"{track} clip {present[0][1] + 1}"
    return f"{track} clip " + ", ".join(f"{index + 1} in {side}" for side, index in present)


# How long a value's text may get in a conflict's line before it is cut.
VALUE_LENGTH = 40


def value_text(value: Any) -> str:
    """A side's value in a conflict, as an editor reads it: a source range
    as its length in frames (and start, when not 0), media as its URL,
    named things by their names, anything else as compact JSON."""
    if value is None:
        return "none"
    kind = schema(value)
    if kind == "TimeRange" and isinstance(value, dict):
        duration = value.get("duration") or {}
        start = value.get("start_time") or {}
        length = f"{number(duration.get('value'))} frames" if isinstance(duration, dict) else "?"
        begin = start.get("value") if isinstance(start, dict) else None
        return length if number(begin) in ("0", "?") else f"{length} from {number(begin)}"
    if kind.endswith("Reference") and isinstance(value, dict):
        return shown(media(value) or kind)
    if isinstance(value, dict) and isinstance(value.get("name"), str) and kind:
        return f"{kind.lower()} {json.dumps(value['name'], ensure_ascii=False)}"
    if isinstance(value, list) and all(isinstance(entry, dict) for entry in value):
        names = [str(entry.get("effect_name") or entry.get("name") or schema(entry) or "?")
                 for entry in value]
        return "[" + ", ".join(shown(name) for name in names) + "]"
    text_form = shown(json.dumps(value, ensure_ascii=False, separators=(",", ":")))
    return text_form if len(text_form) <= VALUE_LENGTH else text_form[:VALUE_LENGTH - 3] + "..."


def clip_name(documents: List[Any], item: Item) -> Optional[str]:
    """The name of the clip a conflict or warning is about: for a warning,
    the clip at its position in the merged timeline; for a conflict, the
    clip at its position on ours, else theirs, else base (documents in the
    order base, ours, theirs, merged), when the track has a clip there."""
    if len(documents) != 4:
        return None
    base, ours, theirs, merged = documents
    for key, document in (("index", merged), ("ours_index", ours), ("theirs_index", theirs),
                          ("base_index", base)):
        index = _position(item.get(key))
        track = labelled_tracks(document).get(str(item.get("track")))
        if index is None or track is None:
            continue
        found = clips(track)
        if index < len(found) and isinstance(found[index].get("name"), str):
            return str(found[index]["name"])
    return None


def item_line(item: Item, documents: Optional[List[Any]] = None) -> str:
    """One line for an editor: where, the clip's name, what went wrong and,
    for a conflict, what each side holds."""
    line = where(item)
    name = clip_name(documents or [], item)
    if name is not None:
        line += f" {json.dumps(name, ensure_ascii=False)}"
    line += f": {shown(item.get('message', ''))}"
    if "ours" in item and "theirs" in item:
        line += (f" (base {value_text(item.get('base'))}, ours {value_text(item.get('ours'))}, "
                 f"theirs {value_text(item.get('theirs'))})")
    return shown(line)


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


class Merge:
    """The commits a merge starts from, and what the engine made of them."""

    def __init__(self, repo: tesmo.Repo, ref: str) -> None:
        self.repo = repo
        self.root = str(repo.root)
        self.ref = ref
        branch = repo.current_branch()
        if branch is None:
            raise CliError("cannot merge while HEAD is detached")
        self.branch: str = branch
        ours = head_commit(repo)
        if ours is None:
            raise CliError(f"branch {shown(branch)} has no commits yet: nothing to merge into")
        self.ours: str = ours
        self.theirs = full_id(repo, ref)
        self.base: Optional[str] = None
        self.documents: List[Any] = []  # base, ours, theirs, once read
        self.merged: Any = None
        self.conflicts: List[Item] = []
        self.warnings: List[Item] = []

    def up_to_date(self) -> bool:
        return is_ancestor(self.root, self.theirs, self.ours)

    def fast_forwards(self) -> bool:
        return is_ancestor(self.root, self.ours, self.theirs)

    def find_base(self) -> str:
        base = merge_base(self.root, self.ours, self.theirs)
        if base is None:
            raise CliError(f"{shown(self.ref)} and {shown(self.branch)} have no common ancestor: "
                           "unrelated histories are not merged")
        self.base = base
        return base

    def three_way(self, favor: Optional[str]) -> None:
        base = self.find_base()
        documents = [read_timeline(self.repo, name, commit_id) for name, commit_id in
                     (("the merge base", base), (self.branch, self.ours), (self.ref, self.theirs))]
        with status("merging..."):
            outcome = merge_timelines(documents[0], documents[1], documents[2], favor=favor)
        self.documents = documents
        self.merged = outcome.timeline
        self.conflicts = [dict(item) for item in outcome.conflicts]
        self.warnings = [dict(item) for item in outcome.warnings]


def _views(args: argparse.Namespace, merge: Merge, base: Any, merged: Any) -> None:
    """Writes what -o, --annotate and --html ask for, all or none."""
    from ._engine import compare

    outputs: List[Tuple[str, Any]] = []
    options = file_options(args)
    if args.output is not None:
        path = in_directory(args, args.output)
        outputs.append((path, document_writer(annotate_conflicts(merged, merge.conflicts), path,
                                              options)))
    records: List[Item] = []
    if args.annotate is not None or args.html is not None:
        records = compare(base, merged)
    if args.annotate is not None:
        path = in_directory(args, args.annotate)
        outputs.append((path, document_writer(annotate_conflicts(annotate(merged, records),
                                                                 merge.conflicts), path, options)))
    if args.html is not None:
        from .report import render_report

        with status("drawing the report..."):
            page = render_report(base, merged, changes=records,
                                 before_label=f"merge base {short(merge.base or '')}",
                                 after_label=f"{merge.branch} merged with {args.ref}",
                                 title=f"merge {args.ref} into {merge.branch}")
        outputs.append((in_directory(args, args.html), text_writer(page)))
    write_outputs(outputs)


def _wants_views(args: argparse.Namespace) -> bool:
    return args.output is not None or args.annotate is not None or args.html is not None


def _report(args: argparse.Namespace, merge: Merge, outcome: str, commit: Optional[str]) -> None:
    if args.json:
        print_json({"schema": MERGE_SCHEMA, "status": outcome, "commit": commit,
                    "base": merge.base, "conflicts": merge.conflicts, "warnings": merge.warnings})


def run_merge(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    merge = Merge(repo, args.ref)

    outcome = "up-to-date" if merge.up_to_date() else "fast-forward" if merge.fast_forwards() else ""
    if outcome:
        # The base is the side already in the other's history; the merged
        # timeline is the one already there, or theirs.
        merge.base = merge.theirs if outcome == "up-to-date" else merge.ours
        if _wants_views(args):
            base = read_timeline(repo, "the merge base", merge.base)
            kept = merge.ours if outcome == "up-to-date" else merge.theirs
            _views(args, merge, base, read_timeline(repo, args.ref, kept))
        if outcome == "fast-forward":
            fast_forward(merge.root, merge.branch, merge.ours, merge.theirs)
        _report(args, merge, outcome, None if outcome == "up-to-date" else merge.theirs)
        if not args.json:
            say("already up to date" if outcome == "up-to-date"
                else f"fast-forward {short(merge.ours)}..{short(merge.theirs)}")
        return SAME

    merge.three_way(args.strategy)
    for warning in merge.warnings:
        warn(f"warning: {item_line(warning, merge.documents + [merge.merged])}")
    if _wants_views(args):
        _views(args, merge, merge.documents[0], merge.merged)

    if merge.conflicts and args.strategy is None:
        _report(args, merge, "conflicts", None)
        if not args.json:
            for conflict in merge.conflicts:
                say(f"conflict: {item_line(conflict, merge.documents + [merge.merged])}")
        warn(f"{_plural(len(merge.conflicts), 'conflict')}: nothing was committed; settle them "
             "with -X ours or -X theirs, or edit the timeline -o writes and commit it with "
             f"`tesmo commit FILE --merge {args.ref}`")
        return DIFFERENT

    if merge.conflicts:
        warn(f"{_plural(len(merge.conflicts), 'conflict')} settled in favour of {args.strategy}:")
        for conflict in merge.conflicts:
            warn(f"  {item_line(conflict, merge.documents + [merge.merged])}")
    email = args.email
    if email is None and args.author is not None:
        email = default_email(args.author)
    message = args.message if args.message is not None else f"merge {args.ref}"
    commit = commit_merge(merge.root, merge.merged, message, [merge.ours, merge.theirs],
                          args.author, email)
    _report(args, merge, "merged", commit)
    if not args.json:
        say(commit)
    return SAME


def commit_resolution(args: argparse.Namespace, repo: tesmo.Repo, document: Any) -> int:
    """`tesmo commit FILE --merge REF`: the editor's settling of a merge,
    committed with parents [HEAD, REF]."""
    branch = repo.current_branch()
    if branch is None:
        raise CliError("cannot commit a merge while HEAD is detached")
    ours = head_commit(repo)
    if ours is None:
        raise CliError(f"branch {shown(branch)} has no commits yet: nothing to merge into")
    theirs = full_id(repo, args.merge)
    root = str(repo.root)
    if is_ancestor(root, theirs, ours):
        raise CliError(f"{shown(args.merge)} is already in the history of {shown(branch)}: "
                       "nothing to merge")
    from .annotate import conflict_markers

    left = conflict_markers(document)
    if left:
        warn(f"{args.file} still holds {_plural(left, 'conflict marker')} of tesmo merge; "
             "they are committed as they are")
    email = args.email
    if email is None and args.author is not None:
        email = default_email(args.author)
    say(commit_merge(root, document, args.message, [ours, theirs], args.author, email))
    return SAME


def run_merge_base(args: argparse.Namespace) -> int:
    repo = open_repo(args)
    a, b = full_id(repo, args.a), full_id(repo, args.b)
    base = merge_base(str(repo.root), a, b)
    if base is None:
        warn(f"{args.a} and {args.b} have no common ancestor")
        return DIFFERENT
    say(base)
    return SAME
