"""Three-way merge of timelines, on the merge engine of the core."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

from ._engine import merge as _merge


class Merged:
    """What a merge gives: `timeline`, the merged document (holding the
    favored side at each conflict); `conflicts`, one dict per conflict with
    its "kind", "track", "base_index", "ours_index", "theirs_index", the
    "base", "ours" and "theirs" values, a "message", and "merged_track" and
    "merged_index", where the merged timeline holds the clip (None where it
    does not); and `warnings`,
    dicts of "kind" ("sync" or "range"), "track", "index" and "message"."""

    __slots__ = ("timeline", "conflicts", "warnings")

    def __init__(self, timeline: Any, conflicts: List[Dict[str, Any]],
                 warnings: List[Dict[str, Any]]) -> None:
        self.timeline = timeline
        self.conflicts = conflicts
        self.warnings = warnings

    def __repr__(self) -> str:
        return f"<Merged: {len(self.conflicts)} conflicts, {len(self.warnings)} warnings>"


def merge_timelines(base: Any, ours: Any, theirs: Any, favor: Optional[str] = None) -> Merged:
    """Merges two timelines derived from `base`. At each conflict the result
    holds `favor`'s side: "ours" (the default) or "theirs"."""
    result = _merge(base, ours, theirs, favor)
    return Merged(result["timeline"], result["conflicts"], result["warnings"])
