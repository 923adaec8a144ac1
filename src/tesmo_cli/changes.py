"""The comparison engine's change records as an editor's change list.

Records are grouped by track under the label editors use (`V1`, `A2`, with
the track's name beside it when it has one), one line per record: the clip
named by its 1-based position among the track's clips and its name
("clip 4 `mymovie.mov`"), then what happened to it, in frames at the clip's
own rate with timecode. Frames gained are positive (`head +4`), frames lost
negative. A summary line counts each kind. The words and colours come from
kinds.py; the record members are those of docs/changes.md.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from .kinds import BY_OP, KINDS
from .terminal import shown

Record = Dict[str, Any]


class Painter:
    """ANSI colour when on, plain text when off."""

    def __init__(self, on: bool) -> None:
        self.on = on

    def __call__(self, text: str, code: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.on and code else text


def counted(count: object, one: str, several: str) -> str:
    """'1 effect', '0 effects', '2 effects'."""
    return f"{count} {one if count == 1 else several}"


# ----------------------------------------------------------------------------
# Numbers and times


def number(value: object) -> str:
    """A count as an editor writes it: an integer when it is whole, else
    fixed decimals with the trailing zeros cut; never an exponent."""
    amount = _float(value)
    if amount is None or not math.isfinite(amount):
        return "?"
    if math.isclose(amount, round(amount), rel_tol=0.0, abs_tol=1e-6):
        return str(int(round(amount)))
    text = f"{amount:.3f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def signed(value: object) -> str:
    """A count with its sign: `+4`, `-4`, `0`."""
    text = number(value)
    return text if text.startswith("-") or text in ("0", "?") else "+" + text


def timecode(frames: float, rate: float) -> str:
    """HH:MM:SS:FF of a frame count at a rate, non-drop-frame, at the
    nearest whole rate (23.976 counts as 24), to the nearest frame (half a
    frame rounds up)."""
    if not (math.isfinite(frames) and math.isfinite(rate)):
        return "??:??:??:??"
    fps = max(1, int(round(rate)))
    total = math.floor(frames + 0.5)
    sign = "-" if total < 0 else ""
    seconds, frame = divmod(abs(total), fps)
    minutes, second = divmod(seconds, 60)
    hours, minute = divmod(minutes, 60)
    return f"{sign}{hours:02d}:{minute:02d}:{second:02d}:{frame:02d}"


def _float(value: object) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _time(value: Any) -> Optional[Tuple[float, float]]:
    """(frames, rate) of a record time, or None when it is missing."""
    if not isinstance(value, dict):
        return None
    amount, rate = _float(value.get("value")), _float(value.get("rate"))
    if amount is None:
        return None
    return amount, (rate if rate and rate > 0 else 1.0)


def _frames(value: Any, rate: float) -> Optional[float]:
    """A frame count given as a number, or as a time at `rate` (converted
    when its own rate differs)."""
    plain = _float(value)
    if plain is not None:
        return plain
    time = _time(value)
    if time is None:
        return None
    return time[0] if time[1] == rate else time[0] * rate / time[1]


def _at(value: Any) -> str:
    """The timecode of a record time."""
    time = _time(value)
    return timecode(*time) if time else "??:??:??:??"


def _frames_and_timecode(time: Optional[Tuple[float, float]]) -> str:
    if time is None:
        return "? frames"
    return f"{number(time[0])} frames ({timecode(*time)})"


# ----------------------------------------------------------------------------
# What a record is about


def _quoted(name: object) -> str:
    return f"`{shown(name)}`"


def _position(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _media(media: object) -> str:
    return shown(media) if media else "no media"


def _is_track_record(record: Record) -> bool:
    return str(record.get("op", "")).startswith("track_")


def _is_transition_record(record: Record) -> bool:
    return str(record.get("op", "")).startswith("transition_")


def index_of(record: Record) -> Optional[int]:
    """The record's position, from 0: on the after side, else the before side."""
    after = _position(record.get("after_index"))
    return after if after is not None else _position(record.get("before_index"))


def subject(record: Record) -> str:
    """The clip ("clip 4 `name`"), cut or track a record is about."""
    if _is_track_record(record):
        return f"{shown(record.get('kind') or 'other')} track"
    index = index_of(record)
    if _is_transition_record(record):
        if index is None:
            return "a cut"
        return f"cut after clip {index}" if index > 0 else "cut before clip 1"
    where = f"clip {index + 1}" if index is not None else "clip"
    name = record.get("name")
    return f"{where} {_quoted(name)}" if name else where


def track_heading(record: Record) -> str:
    """The heading of the record's track: its label, its name beside it
    when it has one other than the label, and "(before)" for a track only the
    before timeline has."""
    label = str(record.get("track") or record.get("after_track") or record.get("before_track")
                or "track")
    name = record.get("track_name")
    heading = f"{shown(label)} {_quoted(name)}" if name and name != label else shown(label)
    if record.get("after_track") is None and record.get("before_track") is not None:
        heading += " (before)"
    return heading


def _group_key(record: Record) -> Tuple[str, bool]:
    only_before = record.get("after_track") is None and record.get("before_track") is not None
    return str(record.get("track") or ""), only_before


# ----------------------------------------------------------------------------
# What happened to it


def _names(names: Any) -> str:
    if not isinstance(names, list) or not names:
        return "none"
    return ", ".join(_quoted(name) if name else "(unnamed)" for name in names)


def _range_parts(value: Any) -> Tuple[Optional[Tuple[float, float]], Optional[Tuple[float, float]]]:
    if not isinstance(value, dict):
        return None, None
    return _time(value.get("start_time")), _time(value.get("duration"))


def _rate_of(record: Record) -> float:
    """The rate of a trim's or slip's frame counts: the record's, else its
    after range's."""
    rate = _float(record.get("rate"))
    if rate and rate > 0:
        return rate
    for key in ("after_range", "before_range"):
        start, duration = _range_parts(record.get(key))
        for time in (duration, start):
            if time is not None:
                return time[1]
    return 1.0


def _trim(record: Record) -> str:
    rate = _rate_of(record)
    edges = [f"{edge} {signed(frames)}"
             for edge, frames in (("head", _frames(record.get("head"), rate)),
                                  ("tail", _frames(record.get("tail"), rate)))
             if frames is not None and number(frames) != "0"]
    _, before = _range_parts(record.get("before_range"))
    _, after = _range_parts(record.get("after_range"))
    text = " " + ", ".join(edges) if edges else ""
    if before is not None and after is not None:
        if before[1] == after[1]:
            text += (f": {number(before[0])} -> {number(after[0])} frames "
                     f"({timecode(*before)} -> {timecode(*after)})")
        else:
            text += (f": {number(before[0])} frames at {number(before[1])} fps -> "
                     f"{number(after[0])} frames at {number(after[1])} fps")
    return text


def _slip(record: Record) -> str:
    rate = _rate_of(record)
    offset = _frames(record.get("offset"), rate)
    text = f" {number(offset) if offset is not None else '?'} frames (source offset only)"
    before, _ = _range_parts(record.get("before_range"))
    after, _ = _range_parts(record.get("after_range"))
    if before is not None and after is not None:
        text += f", source in {timecode(*before)} -> {timecode(*after)}"
    return text


def _transition(value: Any) -> str:
    if not isinstance(value, dict):
        return "none"
    kind = value.get("transition_type") or value.get("name") or "transition"
    ins, outs = _time(value.get("in_offset")), _time(value.get("out_offset"))
    lengths = f"{number(ins[0]) if ins else '?'} + {number(outs[0]) if outs else '?'} frames"
    return f"{shown(kind)} {lengths}"


def verb_and_detail(record: Record) -> Tuple[str, str]:
    """The coloured word of a line ("trimmed") and what follows it."""
    op = str(record.get("op"))
    kind = BY_OP.get(op)
    verb = kind.one if kind else shown(op)
    if op == "trimmed":
        return verb, _trim(record)
    if op == "slipped":
        return verb, _slip(record)
    if op == "moved":
        before_track, after_track = record.get("before_track"), record.get("after_track")
        index = _position(record.get("before_index"))
        where = f"position {index + 1}" if index is not None else "elsewhere"
        if before_track != after_track and before_track is not None:
            where = f"{shown(before_track)} {where}"
        return verb, f" from {where}, now at {_at(record.get('record_in'))}"
    if op == "added":
        return verb, f" at {_at(record.get('record_in'))}, {_media(record.get('media'))}"
    if op == "removed":
        return verb, f", was at {_at(record.get('record_in'))}, {_media(record.get('media'))}"
    if op == "replaced":
        return verb, f": {_media(record.get('before_media'))} -> {_media(record.get('after_media'))}"
    if op == "effects_changed":
        return verb, f": {_names(record.get('before_effects'))} -> {_names(record.get('after_effects'))}"
    if op == "markers_changed":
        return verb, f": {_names(record.get('before_markers'))} -> {_names(record.get('after_markers'))}"
    if op == "renamed" or op == "track_renamed":
        return ("renamed" if op == "track_renamed" else verb,
                f" {_quoted(record.get('before_name') or '')} -> "
                f"{_quoted(record.get('after_name') or '')}")
    if op == "retimed":
        return verb, f": speed {number(record.get('before_speed'))} -> {number(record.get('after_speed'))}"
    if op == "enabled_changed":
        return ("enabled" if record.get("after_enabled") else "disabled"), ""
    if op == "metadata_changed":
        keys = record.get("keys")
        listed = ", ".join(_quoted(key) for key in keys) if isinstance(keys, list) else ""
        return verb, f": {listed}" if listed else ""
    if op == "transition_added":
        return verb, f": {_transition(record.get('after_transition'))}"
    if op == "transition_removed":
        return verb, f": {_transition(record.get('before_transition'))}"
    if op == "transition_changed":
        return verb, (f": {_transition(record.get('before_transition'))} -> "
                      f"{_transition(record.get('after_transition'))}")
    if op in ("track_added", "track_removed"):
        return ("added" if op == "track_added" else "removed"), ""
    return verb, ""


def describe(record: Record) -> str:
    """The record as one line with its track, for a marker or a log entry:
    "V1 clip 2 `interview` trimmed tail -24: 120 -> 96 frames (...)"."""
    verb, detail = verb_and_detail(record)
    return f"{track_heading(record)} {subject(record)} {verb}{detail}"


# ----------------------------------------------------------------------------
# The list


def summary(records: Iterable[Record]) -> str:
    """"3 changes: 1 trimmed, 2 added", or "no changes"."""
    counts: Dict[str, int] = {}
    for record in records:
        op = str(record.get("op"))
        counts[op] = counts.get(op, 0) + 1
    total = sum(counts.values())
    if not total:
        return "no changes"
    parts = [counted(counts[kind.op], kind.one, kind.several) for kind in KINDS if counts.get(kind.op)]
    parts += [counted(count, shown(op), shown(op)) for op, count in counts.items() if op not in BY_OP]
    return counted(total, "change", "changes") + ": " + ", ".join(parts)


def record_lines(records: Sequence[Record], paint: Painter, indent: str = "  ",
                 width: Optional[int] = None) -> List[str]:
    """One line per record, subjects padded to one width so that what
    happened lines up."""
    subjects = [subject(record) for record in records]
    if width is None:
        width = max((len(text) for text in subjects), default=0)
    lines = []
    for record, text in zip(records, subjects):
        verb, detail = verb_and_detail(record)
        kind = BY_OP.get(str(record.get("op")))
        lines.append(f"{indent}{text.ljust(width)}  {paint(verb, kind.ansi if kind else '')}{detail}")
    return lines


def change_lines(records: Sequence[Record], paint: Painter, indent: str = "") -> List[str]:
    """The change list: a heading per track, in the order tracks first
    appear, then a line per record."""
    groups: Dict[Tuple[str, bool], List[Record]] = {}
    for record in records:
        groups.setdefault(_group_key(record), []).append(record)
    width = max((len(subject(record)) for record in records), default=0)
    lines: List[str] = []
    for group in groups.values():
        lines.append(indent + paint(track_heading(group[0]), "1"))
        lines += record_lines(group, paint, indent + "  ", width)
    return lines
