"""The visual change report: two versions of a cut drawn lane by lane.

``render_report(before, after)`` returns one self-contained HTML page. The
page carries a compact JSON model of both timelines (every clip at its
record position, every transition at its cut) and of the change records
the comparison engine made; an inline script draws the lanes on a canvas
and keeps one SVG element per change record, each carrying ``data-op``.

This module decides nothing about what changed or which clip is which: each
record is drawn where its own members put it, on the lane its
``before_track`` / ``after_track`` label names, over the clip its
``before_index`` / ``after_index`` counts to (direct clips only), and at
``record_in`` / ``record_out`` when nothing else places it.

Record positions of the drawn clips are laid out from the timeline dicts
the way OpenTimelineIO lays out a track: items follow each other in order,
a clip, a gap or a nested stack takes its length, and a transition takes no
time of its own but overlaps its in_offset into the item before its cut and
its out_offset into the item after it.

The page itself (markup, style and script) lives in ``assets/``; it is
read once and inlined, so the file the report writes needs nothing else.
"""

from __future__ import annotations

import html
import json
import math
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .changes import number as frames_text, signed as signed_frames, timecode
from .kinds import BY_OP, KINDS
from .otio_json import media, media_reference, schema, text, track_kind, tracks

__all__ = ["render_report", "build_model", "frames_text", "timecode", "side_label"]

Record = Dict[str, Any]
Label = Union[str, "os.PathLike[str]"]

# The rate a lane is drawn at when none of its items gives one.
_DEFAULT_RATE = 24.0

# Which kind a clip's fill shows when several records name it; the others
# keep their own marks (outline, tag, bands).
FILL_ORDER: Tuple[str, ...] = (
    "removed", "added", "moved", "replaced", "trimmed", "slipped", "effects_changed",
    "retimed", "enabled_changed", "renamed", "markers_changed", "metadata_changed",
)

_LETTER = {"video": "V", "audio": "A", "other": "O"}
_KIND_ORDER = {"video": 0, "audio": 1, "other": 2}


def side_label(label: Label) -> str:
    """What a lane is labelled with: a path given as a path (os.PathLike)
    by its file name, anything else (a ref, a name) as it is."""
    if isinstance(label, os.PathLike):
        path = os.fspath(label)
        return os.path.basename(os.path.normpath(path)) or path
    return str(label)


# ---------------------------------------------------------------------------
# Reading the timeline dicts


def _number(value: Any) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    number = float(value)
    return number if math.isfinite(number) else None


@dataclass(frozen=True)
class _Time:
    value: float
    rate: float

    def seconds(self) -> float:
        return self.value / self.rate if self.rate > 0 else self.value


def _time(value: Any) -> Optional[_Time]:
    if not isinstance(value, dict):
        return None
    amount = _number(value.get("value"))
    if amount is None:
        return None
    rate = _number(value.get("rate"))
    return _Time(amount, 1.0 if rate is None else rate)


def _range(value: Any) -> Optional[Tuple[_Time, _Time]]:
    if not isinstance(value, dict):
        return None
    start = _time(value.get("start_time"))
    duration = _time(value.get("duration"))
    if start is None or duration is None:
        return None
    return start, duration


def _seconds(value: Any) -> Optional[float]:
    time = _time(value)
    if time is None:
        return None
    seconds = time.seconds()
    return seconds if math.isfinite(seconds) else None


def _item_length(item: Dict[str, Any]) -> Optional[_Time]:
    """How long an item lasts in its parent: its source range's duration;
    for a clip without one, its media's available range; for a nested
    stack or track without one, what its children add up to."""
    span = _range(item.get("source_range"))
    if span is not None:
        return span[1]
    kind = schema(item)
    if kind == "Clip":
        reference = media_reference(item)
        span = _range(reference.get("available_range")) if isinstance(reference, dict) else None
        return None if span is None else span[1]
    if kind in ("Gap", "Filler"):
        return _time(item.get("duration"))
    if kind in ("Stack", "Track"):
        children = item.get("children")
        if not isinstance(children, list):
            return None
        lengths = [_composed_seconds(child) for child in children]
        total = max(lengths, default=0.0) if kind == "Stack" else sum(lengths)
        return _Time(total, 1.0)
    return None


def _composed_seconds(item: Any) -> float:
    """Seconds an item takes inside a nested track or stack."""
    if not isinstance(item, dict) or schema(item) == "Transition":
        return 0.0
    length = _item_length(item)
    seconds = length.seconds() if length is not None else 0.0
    return max(0.0, seconds) if math.isfinite(seconds) else 0.0


@dataclass
class _Clip:
    name: str
    media: Optional[str]
    start: Optional[_Time]
    duration: Optional[_Time]
    effects: int
    record_in: float = 0.0  # seconds from the track's start
    length: float = 0.0  # seconds


@dataclass
class _Transition:
    name: str
    cut: float  # seconds from the track's start
    in_offset: float  # seconds before the cut
    out_offset: float  # seconds after the cut
    clips_before: int  # how many direct clips come before its cut


@dataclass
class _Lane:
    label: str  # V1, A2, O1
    name: str
    kind: str
    rate: float
    clips: List[_Clip] = field(default_factory=list)
    transitions: List[_Transition] = field(default_factory=list)
    length: float = 0.0  # seconds

    def frames(self, seconds: float) -> float:
        return seconds * self.rate


def _lane_rate(children: Sequence[Any]) -> float:
    for child in children:
        if isinstance(child, dict) and schema(child) in ("Clip", "Gap", "Filler"):
            length = _item_length(child)
            if length is not None and length.rate > 0:
                return length.rate
    return _DEFAULT_RATE


def _read_lane(value: Dict[str, Any], label: str) -> _Lane:
    children = value.get("children")
    items = [child for child in children if isinstance(child, dict)] \
        if isinstance(children, list) else []
    lane = _Lane(label, text(value.get("name")), track_kind(value), _lane_rate(items))
    now = 0.0
    for child in items:
        kind = schema(child)
        if kind == "Transition":
            lane.transitions.append(_Transition(
                name=text(child.get("name")), cut=now,
                in_offset=max(0.0, _seconds(child.get("in_offset")) or 0.0),
                out_offset=max(0.0, _seconds(child.get("out_offset")) or 0.0),
                clips_before=len(lane.clips)))
            continue
        length = _composed_seconds(child)
        if kind == "Clip":
            span = _range(child.get("source_range"))
            effects = child.get("effects")
            lane.clips.append(_Clip(
                name=text(child.get("name")), media=media(media_reference(child)),
                start=span[0] if span else None, duration=span[1] if span else None,
                effects=len(effects) if isinstance(effects, list) else 0,
                record_in=now, length=length))
        now += length
    lane.length = now
    return lane


def _read_lanes(document: Any) -> Dict[str, _Lane]:
    """The top-level tracks by the label editors use: V1, V2, A1, O1."""
    counts: Dict[str, int] = {}
    lanes: Dict[str, _Lane] = {}
    for track in tracks(document):
        kind = track_kind(track)
        counts[kind] = counts.get(kind, 0) + 1
        label = f"{_LETTER[kind]}{counts[kind]}"
        lanes[label] = _read_lane(track, label)
    return lanes


def _label_key(label: str) -> Tuple[int, int, str]:
    kind = {"V": "video", "A": "audio"}.get(label[:1], "other")
    digits = label[1:]
    return (_KIND_ORDER[kind], int(digits) if digits.isdigit() else 0, label)


# ---------------------------------------------------------------------------
# Placing each record where its own members say


@dataclass
class _Rows:
    """The lanes drawn, one row per track label, the before lane above the
    after lane. A row puts the two tracks that carry the same label side by
    side; a record whose two labels differ joins its two rows."""
    labels: List[str]
    before: Dict[str, _Lane]
    after: Dict[str, _Lane]

    def row(self, label: Any) -> int:
        return self.labels.index(label) if isinstance(label, str) and label in self.labels else -1


@dataclass
class _Placed:
    before_row: int = -1
    before_clip: int = -1
    after_row: int = -1
    after_clip: int = -1
    before_transition: int = -1
    after_transition: int = -1
    # [row, side, first frame, last frame, style] in the lane's frames;
    # style 0: frames cut, 1: frames gained, 2: slip.
    bands: List[List[Any]] = field(default_factory=list)
    span: Tuple[float, float] = (-1.0, -1.0)  # seconds, when nothing else places it


def _index(value: Any) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else -1


def _clip_at(lane: Optional[_Lane], index: int) -> int:
    return index if lane is not None and 0 <= index < len(lane.clips) else -1


def _transition_at(lane: Optional[_Lane], cut: int) -> int:
    """The transition at the cut after `cut` direct clips."""
    if lane is None or cut < 0:
        return -1
    return next((position for position, transition in enumerate(lane.transitions)
                 if transition.clips_before == cut), -1)


def _record_rate(record: Record) -> float:
    """The rate a record's frame counts are at: its own, else its record
    time's, else its after range's."""
    for value in (record.get("rate"), (record.get("record_in") or {}).get("rate")
                  if isinstance(record.get("record_in"), dict) else None):
        rate = _number(value)
        if rate is not None and rate > 0:
            return rate
    for key in ("after_range", "before_range"):
        span = _range(record.get(key))
        if span is not None and span[1].rate > 0:
            return span[1].rate
    return _DEFAULT_RATE


def _band(lane: _Lane, clip: _Clip, row: int, side: int, at_head: bool, seconds: float,
          style: int) -> Optional[List[Any]]:
    """A band of `seconds` at one edge of a clip, kept inside the clip."""
    width = min(abs(seconds), clip.length)
    if not width > 0:
        return None
    start = clip.record_in if at_head else clip.record_in + clip.length - width
    return [row, side, _num(lane.frames(start)), _num(lane.frames(start + width)), style]


def _bands(record: Record, placed: _Placed, rows: _Rows) -> List[List[Any]]:
    """Trim bands: frames cut shaded on the before clip, frames gained on
    the after clip. Slip bands: the source offset on each side's clip.
    Every band lies inside its clip, however far the edit reaches."""
    op = record.get("op")
    sides = []
    if placed.before_clip >= 0:
        lane = rows.before[rows.labels[placed.before_row]]
        sides.append((0, placed.before_row, lane, lane.clips[placed.before_clip]))
    if placed.after_clip >= 0:
        lane = rows.after[rows.labels[placed.after_row]]
        sides.append((1, placed.after_row, lane, lane.clips[placed.after_clip]))
    rate = _record_rate(record)
    bands: List[Optional[List[Any]]] = []
    if op == "trimmed":
        head = _number(record.get("head")) or 0.0
        tail = _number(record.get("tail")) or 0.0
        for side, row, lane, clip in sides:
            gained = side == 1
            for at_head, amount in ((True, head), (False, tail)):
                if (amount > 0) == gained and amount != 0:
                    bands.append(_band(lane, clip, row, side, at_head, amount / rate,
                                       1 if gained else 0))
    elif op == "slipped":
        offset = _number(record.get("offset")) or 0.0
        for side, row, lane, clip in sides:
            # From the head when the source moved later, from the tail when earlier.
            bands.append(_band(lane, clip, row, side, offset > 0, offset / rate, 2))
    return [band for band in bands if band is not None]


def _place(record: Record, rows: _Rows) -> _Placed:
    op = record.get("op")
    placed = _Placed()
    before_row, after_row = rows.row(record.get("before_track")), rows.row(record.get("after_track"))
    before_lane = rows.before.get(rows.labels[before_row]) if before_row >= 0 else None
    after_lane = rows.after.get(rows.labels[after_row]) if after_row >= 0 else None
    placed.before_row = before_row if before_lane is not None else -1
    placed.after_row = after_row if after_lane is not None else -1
    before_index, after_index = _index(record.get("before_index")), _index(record.get("after_index"))
    if isinstance(op, str) and op.startswith("transition_"):
        placed.before_transition = _transition_at(before_lane, before_index)
        placed.after_transition = _transition_at(after_lane, after_index)
    elif not (isinstance(op, str) and op.startswith("track_")):
        placed.before_clip = _clip_at(before_lane, before_index)
        placed.after_clip = _clip_at(after_lane, after_index)
        placed.bands = _bands(record, placed, rows)
    start, end = _seconds(record.get("record_in")), _seconds(record.get("record_out"))
    if start is not None and end is not None:
        placed.span = (start, max(start, end))
    return placed


# ---------------------------------------------------------------------------
# Text for the change table, in the text change list's words and signs


def _names(value: Any) -> str:
    if not isinstance(value, list) or not value:
        return "none"
    return ", ".join(str(item) for item in value)


def _time_text(value: Any) -> Optional[str]:
    time = _time(value)
    if time is None:
        return None
    return f"{timecode(time.value, time.rate)}"


def _range_text(value: Any) -> str:
    span = _range(value)
    if span is None:
        return "no range"
    start, duration = span
    return (f"{frames_text(duration.value)} frames from {timecode(start.value, start.rate)}")


def _ranges(record: Record) -> List[str]:
    """The source ranges of a trim or slip, when the record has them."""
    if _range(record.get("before_range")) is None and _range(record.get("after_range")) is None:
        return []
    return [f"{_range_text(record.get('before_range'))} \u2192 {_range_text(record.get('after_range'))}"]


def _speed(value: Any) -> str:
    number = _number(value)
    return "?" if number is None else f"{frames_text(number)}x"


def _transition_text(value: Any) -> str:
    if not isinstance(value, dict):
        return "none"
    parts = [str(value.get("transition_type") or value.get("name") or "transition")]
    for key in ("in_offset", "out_offset"):
        time = _time(value.get(key))
        if time is not None:
            parts.append(f"{key.split('_')[0]} {frames_text(time.value)}")
    return " ".join(parts)


def _position(record: Record) -> str:
    before, after = _index(record.get("before_index")), _index(record.get("after_index"))
    before_track, after_track = record.get("before_track"), record.get("after_track")
    if before >= 0 and after >= 0:
        if before_track != after_track:
            return f"{before_track} position {before + 1} \u2192 {after_track} position {after + 1}"
        return f"position {before + 1} \u2192 {after + 1}"
    if after >= 0:
        return f"at position {after + 1}"
    if before >= 0:
        return f"from position {before + 1}"
    return ""


def detail(record: Record) -> str:
    """One line saying what happened, in frames at the record's rate with
    timecode; positions count from 1, as in the command's change list."""
    op = record.get("op")
    if op in ("track_added", "track_removed"):
        return f"{record.get('kind')} track"
    if op == "track_renamed":
        return f"{record.get('before_name') or '(unnamed)'} \u2192 {record.get('after_name') or '(unnamed)'}"
    if isinstance(op, str) and op.startswith("transition_"):
        where = f"at the cut after clip {_index(record.get('after_index' if op != 'transition_removed' else 'before_index'))}"
        # The record time of a transition is the stretch it overlaps.
        start, end = _time_text(record.get("record_in")), _time_text(record.get("record_out"))
        if start is not None:
            where += f", {start}" + (f" to {end}" if end is not None else "")
        return (f"{_transition_text(record.get('before_transition'))} \u2192 "
                f"{_transition_text(record.get('after_transition'))}, {where}")
    parts: List[str] = []
    if op == "trimmed":
        head = _number(record.get("head"))
        tail = _number(record.get("tail"))
        if head:
            parts.append(f"head {signed_frames(head)}")
        if tail:
            parts.append(f"tail {signed_frames(tail)}")
        parts.extend(_ranges(record))
    elif op == "slipped":
        offset = _number(record.get("offset"))
        parts.append(f"source {signed_frames(offset) if offset is not None else '?'} frames")
        parts.extend(_ranges(record))
    elif op == "replaced":
        parts.append(f"{record.get('before_media') or 'no media'} \u2192 "
                     f"{record.get('after_media') or 'no media'}")
    elif op == "effects_changed":
        parts.append(f"{_names(record.get('before_effects'))} \u2192 {_names(record.get('after_effects'))}")
    elif op == "markers_changed":
        parts.append(f"{_names(record.get('before_markers'))} \u2192 {_names(record.get('after_markers'))}")
    elif op == "renamed":
        parts.append(f"{record.get('before_name') or '(unnamed)'} \u2192 {record.get('after_name') or '(unnamed)'}")
    elif op == "retimed":
        parts.append(f"speed {_speed(record.get('before_speed'))} \u2192 {_speed(record.get('after_speed'))}")
    elif op == "enabled_changed":
        parts.append("enabled" if record.get("after_enabled") else "disabled")
    elif op == "metadata_changed":
        parts.append(f"keys {_names(record.get('keys'))}")
    elif op in ("added", "removed") and record.get("media"):
        parts.append(str(record.get("media")))
    where = _position(record) if op in ("moved", "added", "removed") else ""
    if where:
        parts.append(where)
    record_in = _time_text(record.get("record_in"))
    if record_in is not None:
        parts.append(f"record in {record_in}")
    return ", ".join(parts)


def tag(record: Record) -> str:
    """The words under a clip's name: the kind's short word, or for a trim
    the frames gained at each edge and for a slip the source offset."""
    op = str(record.get("op"))
    kind = BY_OP.get(op)
    short = kind.short if kind is not None else op
    if op == "trimmed":
        edges = [f"{edge} {signed_frames(amount)}" for edge in ("head", "tail")
                 for amount in [_number(record.get(edge))] if amount]
        return " ".join(edges) or short
    if op == "slipped":
        offset = _number(record.get("offset"))
        return f"{short} {signed_frames(offset)}" if offset is not None else short
    return short


def subject(record: Record) -> str:
    """The clip, transition or track a record is about."""
    name = record.get("name")
    if isinstance(name, str) and name:
        return name
    op = str(record.get("op"))
    if op.startswith("track_"):
        return "(unnamed track)"
    if op.startswith("transition_"):
        return "(transition)"
    found = record.get("media")
    return f"[{found}]" if isinstance(found, str) and found else "(unnamed clip)"


# ---------------------------------------------------------------------------
# The page


def _num(value: float) -> Union[float, int]:
    """A time for the page's model: three decimals, an integer when whole;
    0 for a value that is not finite, which JSON cannot hold."""
    if not math.isfinite(value):
        return 0
    rounded = round(value, 3)
    return int(rounded) if rounded == int(rounded) and abs(rounded) < 2 ** 53 else rounded


class _MediaTable:
    def __init__(self) -> None:
        self.index: Dict[str, int] = {}
        self.names: List[str] = []

    def __call__(self, found: Optional[str]) -> int:
        if found is None:
            return -1
        if found not in self.index:
            self.index[found] = len(self.names)
            self.names.append(found)
        return self.index[found]


def _lane_model(lane: Optional[_Lane], table: _MediaTable) -> Any:
    """A lane's data: [name, kind, rate, length in frames, clips, transitions].
    A clip is [name, media, source start, source duration, source rate,
    record in, record length, effects]; record times are frames at the
    lane's rate, source times in the clip's own rate (0 when absent).
    A transition is [name, cut, in_offset, out_offset] in frames."""
    if lane is None:
        return None
    clips = [[clip.name, table(clip.media),
              _num(clip.start.value) if clip.start else 0,
              _num(clip.duration.value) if clip.duration else 0,
              _num(clip.duration.rate) if clip.duration else 0,
              _num(lane.frames(clip.record_in)), _num(lane.frames(clip.length)), clip.effects]
             for clip in lane.clips]
    transitions = [[transition.name, _num(lane.frames(transition.cut)),
                    _num(lane.frames(transition.in_offset)), _num(lane.frames(transition.out_offset))]
                   for transition in lane.transitions]
    return [lane.name, lane.kind, _num(lane.rate), _num(lane.frames(lane.length)), clips, transitions]


def _script_json(value: Any) -> str:
    written = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    # Inside <script> only "</" could end the element early; JSON.parse
    # reads the escaped forms back as the same characters.
    return written.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _compare(before: Any, after: Any) -> List[Record]:
    from . import compare

    return list(compare(before, after))


def build_model(before: Any, after: Any, *, before_label: Label = "before",
                after_label: Label = "after", title: Optional[str] = None,
                changes: Optional[Sequence[Record]] = None) -> Dict[str, Any]:
    """The data the page draws, as a JSON-ready dict. ``changes`` are the
    comparison engine's records; when None the engine is asked once."""
    records = list(_compare(before, after) if changes is None else changes)
    before_lanes, after_lanes = _read_lanes(before), _read_lanes(after)
    rows = _Rows(sorted(set(before_lanes) | set(after_lanes), key=_label_key),
                 before_lanes, after_lanes)
    table = _MediaTable()
    ops = [kind.op for kind in KINDS]
    code = {op: index for index, op in enumerate(ops)}
    placed_records = []
    for record in records:
        op = record.get("op")
        spot = _place(record, rows)
        placed_records.append([
            code.get(op, -1) if isinstance(op, str) else -1, spot.before_row, spot.before_clip,
            spot.after_row, spot.after_clip, spot.before_transition, spot.after_transition,
            subject(record), detail(record), spot.bands, _num(spot.span[0]), _num(spot.span[1]),
            str(record.get("track") or record.get("after_track") or record.get("before_track") or ""),
            tag(record)])
    if title is None:
        names = [value.get("name") for value in (before, after) if isinstance(value, dict)]
        named = [name for name in names if isinstance(name, str) and name]
        title = f"Changes to {named[-1]}" if named else "Changes between two cuts"
    return {
        "title": title,
        "labels": [side_label(before_label), side_label(after_label)],
        "kinds": [[kind.op, kind.one, kind.several, kind.short, kind.colour] for kind in KINDS],
        "fill": [code[op] for op in FILL_ORDER],
        "media": table.names,
        "rows": [[label, _lane_model(before_lanes.get(label), table),
                  _lane_model(after_lanes.get(label), table)] for label in rows.labels],
        "records": placed_records,
    }


# ---------------------------------------------------------------------------
# The page's assets


def _asset(name: str) -> str:
    from importlib import resources

    if hasattr(resources, "files"):
        return (resources.files(__package__) / "assets" / name).read_text(encoding="utf-8")
    return resources.read_text(f"{__package__}.assets", name, encoding="utf-8")  # pragma: no cover


_PAGE: Optional[Tuple[str, str, str]] = None


def _page_assets() -> Tuple[str, str, str]:
    """The page's markup, style and script, read once."""
    global _PAGE
    if _PAGE is None:
        markup, style, script = _asset("report.html"), _asset("report.css"), _asset("report.js")
        for name, body in (("report.css", style), ("report.js", script)):
            # Inlined as the body of an element, neither may end it early.
            if re.search(r"</(style|script)", body, re.I):
                raise RuntimeError(f"{name} holds a closing tag")
        _PAGE = (markup, style, script)
    return _PAGE


def render_report(before: Any, after: Any, *, before_label: Label = "before",
                  after_label: Label = "after", title: Optional[str] = None,
                  changes: Optional[Sequence[Record]] = None) -> str:
    """The change report between two timeline dicts (OpenTimelineIO JSON)
    as one self-contained HTML page, starting with ``<!DOCTYPE html>``.

    ``changes`` is the list of change records (docs/changes.md) the page
    draws; when None, ``tesmo_cli.compare(before, after)`` makes them. A
    label given as a path (``os.PathLike``) is shown by its file name.

    The page needs no network: style, script and data are inline, and its
    content security policy forbids every fetch. Each change record is one
    element with a ``data-op`` attribute holding its op string, and the
    root element's ``data-records`` holds the number of records."""
    model = build_model(before, after, before_label=before_label, after_label=after_label,
                        title=title, changes=changes)
    count = len(model["records"])
    markup, style, script = _page_assets()
    fills = {
        "count": str(count),
        "title": html.escape(model["title"]),
        "before": html.escape(model["labels"][0]),
        "after": html.escape(model["labels"][1]),
        "noun": "change" if count == 1 else "changes",
        "style": style,
        "model": _script_json(model),
        "script": script,
    }
    # One pass, so that nothing filled in is read for placeholders again.
    return re.sub(r"\{\{(\w+)\}\}", lambda found: fills[found.group(1)], markup)
