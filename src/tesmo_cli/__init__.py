"""The tesmo command line and the visual change report, built on the tesmo module.

``tesmo_cli.compare(before, after)`` gives the change records of the
comparison engine (see docs/changes.md), the list every view reads;
``tesmo_cli.merge_timelines(base, ours, theirs)`` merges two timelines.
``tesmo_cli.render_report`` is the report's entry point; it is imported on
first use, so importing this package loads neither it nor OpenTimelineIO.
"""

from typing import TYPE_CHECKING, Any

from ._engine import compare
from .merging import merge_timelines

__all__ = ["compare", "merge_timelines", "render_report"]

if TYPE_CHECKING:
    from .report import render_report


def __getattr__(name: str) -> Any:
    if name == "render_report":
        from .report import render_report

        return render_report
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
