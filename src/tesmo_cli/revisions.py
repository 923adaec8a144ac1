"""Revision syntax on top of the refs the module resolves.

``REF~N`` is the N-th first-parent ancestor of REF, ``REF^N`` its N-th
parent (``REF^`` is ``REF^1``, ``REF^0`` REF itself), and the suffixes
chain from left to right (``main~2^2``). Branch names cannot hold ``~`` or
``^``, so a ref with neither is handed to the module unchanged, and its
messages stay the module's own.
"""

from __future__ import annotations

import re
from typing import List, Tuple

import tesmo

from .errors import CliError
from .remote import tracked
from .terminal import shown

_STEP = re.compile(r"([~^])(\d*)")


def split(text: str) -> Tuple[str, List[Tuple[str, int]]]:
    """The base ref and its steps, each ("~" or "^", count). A text without
    revision suffixes is all base."""
    cut = min((i for i in (text.find("~"), text.find("^")) if i >= 0), default=-1)
    if cut < 0:
        return text, []
    base, rest = text[:cut], text[cut:]
    steps: List[Tuple[str, int]] = []
    position = 0
    while position < len(rest):
        match = _STEP.match(rest, position)
        if match is None:
            raise CliError(f"{text}: not a revision: expected ~N or ^N after {base or 'a ref'}")
        op, digits = match.groups()
        if len(digits) > 9:
            raise CliError(f"{text}: {digits} is too large a count")
        steps.append((op, int(digits) if digits else 1))
        position = match.end()
    if not base:
        raise CliError(f"{text}: a revision needs a ref before {rest[0]}")
    return base, steps


def _short(commit_id: str) -> str:
    return shown(commit_id.split(":", 1)[-1][:12])


def resolve(repo: tesmo.Repo, text: str) -> str:
    """The ref as the module takes it: unchanged without suffixes, else the
    full id of the commit the revision names. REMOTE/BRANCH names what the
    last fetch saw of a remote's branch, unless a local branch has that
    name."""
    base, steps = split(text)
    remote_branch = tracked(repo, base)
    if not steps:
        return remote_branch or text
    commit_id = remote_branch or str(repo.resolve(base))
    for op, count in steps:
        if op == "~":
            seen = {commit_id}
            for walked in range(count):
                parents = repo.read_commit(commit_id)["parents"]
                if not parents:
                    raise CliError(f"{text}: commit {_short(commit_id)} has no parent "
                                   f"({walked} of {count} steps back)")
                commit_id = str(parents[0])
                if commit_id in seen:  # only a hand-made history can loop
                    raise CliError(f"{text}: history loops back to commit {_short(commit_id)}")
                seen.add(commit_id)
        elif count > 0:
            parents = repo.read_commit(commit_id)["parents"]
            if len(parents) < count:
                had = "no parents" if not parents else (
                    "1 parent" if len(parents) == 1 else f"{len(parents)} parents")
                raise CliError(f"{text}: commit {_short(commit_id)} has {had}, not a parent {count}")
            commit_id = str(parents[count - 1])
    return commit_id
