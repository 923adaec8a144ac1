"""The kinds of change, in the one table every view reads: the text change
list, the summary line, the markers written into annotated timelines and the
report's legend and colours."""

from __future__ import annotations

from typing import Dict, List, NamedTuple


class Kind(NamedTuple):
    op: str
    one: str       # "1 clip trimmed": the words after a count of one
    several: str   # ... and after any other count
    short: str     # a marker's or a report label's word
    ansi: str      # SGR colour code for the terminal
    colour: str    # CSS colour for markers' pages and the report
    marker: str    # OpenTimelineIO marker colour


# In the order the summary lists them.
KINDS: List[Kind] = [
    Kind("trimmed", "trimmed", "trimmed", "trim", "33", "#e0a030", "YELLOW"),
    Kind("slipped", "slipped", "slipped", "slip", "33;2", "#c8b040", "ORANGE"),
    Kind("moved", "moved", "moved", "move", "36", "#30b0c8", "CYAN"),
    Kind("added", "added", "added", "add", "32", "#40b050", "GREEN"),
    Kind("removed", "removed", "removed", "remove", "31", "#d04040", "RED"),
    Kind("replaced", "replaced", "replaced", "new media", "35", "#b050c0", "MAGENTA"),
    Kind("effects_changed", "effects changed", "effects changed", "effects", "34", "#4070e0", "BLUE"),
    Kind("retimed", "retimed", "retimed", "speed", "34;1", "#6050e0", "PURPLE"),
    Kind("renamed", "renamed", "renamed", "rename", "37", "#909090", "WHITE"),
    Kind("enabled_changed", "enabled or disabled", "enabled or disabled", "enable", "37", "#707070", "BLACK"),
    Kind("markers_changed", "markers changed", "markers changed", "markers", "37", "#a0a0a0", "PINK"),
    Kind("metadata_changed", "metadata changed", "metadata changed", "metadata", "37", "#b0b0b0", "WHITE"),
    Kind("transition_added", "transition added", "transitions added", "+transition", "32", "#60c070", "GREEN"),
    Kind("transition_removed", "transition removed", "transitions removed", "-transition", "31", "#e06060",
         "RED"),
    Kind("transition_changed", "transition changed", "transitions changed", "transition", "33", "#d0a050",
         "ORANGE"),
    Kind("track_added", "track added", "tracks added", "+track", "32;1", "#309040", "GREEN"),
    Kind("track_removed", "track removed", "tracks removed", "-track", "31;1", "#b03030", "RED"),
    Kind("track_renamed", "track renamed", "tracks renamed", "rename track", "37;1", "#909090", "WHITE"),
]

BY_OP: Dict[str, Kind] = {kind.op: kind for kind in KINDS}

# The schema name `tesmo diff --json` prints beside the records.
SCHEMA = "tesmo.changes/1"
