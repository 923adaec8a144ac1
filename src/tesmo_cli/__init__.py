"""The tesmo command line and the visual change report, built on the tesmo module.

``tesmo_cli.compare(before, after)`` gives the change records of the
comparison engine (see docs/changes.md), the list every view reads.
``tesmo_cli.merge_timelines(base, ours, theirs, favor=None)`` is the core's
three-way merge: the merged timeline, its conflicts and its warnings.
``tesmo_cli.render_report`` is the report's entry point; it is imported on
first use, so importing this package loads neither it nor OpenTimelineIO.
"""

from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional

from . import _engine
from ._engine import compare

__all__ = ["MergeResult", "compare", "merge_timelines", "render_report"]


class MergeResult(NamedTuple):
    """What a three-way merge made: the merged timeline (at each conflict,
    the favored side's value), the conflicts and the warnings, as dicts."""

    timeline: Any
    conflicts: List[Dict[str, Any]]
    warnings: List[Dict[str, Any]]


def merge_timelines(base: Any, ours: Any, theirs: Any, favor: Optional[str] = None) -> MergeResult:
    """Merges the edits ours and theirs made to base. favor is "ours" (the
    default) or "theirs": the side the merged timeline holds at a conflict.
    Raises tesmo.TesmoError when a document is not a timeline."""
    timeline, conflicts, warnings = _engine.merge(base, ours, theirs, favor)
    return MergeResult(timeline, conflicts, warnings)

if TYPE_CHECKING:
    from .report import render_report


def __getattr__(name: str) -> Any:
    if name == "render_report":
        from .report import render_report

        return render_report
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
