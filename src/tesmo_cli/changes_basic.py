"""The change list of `tesmo diff --basic`: the module's own diff payloads
(`tesmo.diff`, `Repo.diff_refs`) as an editor's list, in the ten kinds that
diff reports. The engine's records have their own list, in changes.py.

Each payload becomes one line: clip names, positions (counted from 1, clips
only), lengths in frames at the clip's own rate with timecode, old and new
media, effect counts and the clips a transition sits between. Lines are
grouped by track, and a summary counts each kind.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Optional, Tuple

from .changes import Painter, counted
from .kinds import BY_OP, KINDS
from .terminal import shown

# The kinds this diff reports; their words and colours come from kinds.py.
BASIC_OPS = ("trimmed", "moved", "added", "removed", "replaced", "effects_changed",
             "transition_added", "transition_removed", "track_added", "track_removed")


def _label(op: str) -> str:
    return BY_OP[op].short if op in BY_OP else op


def _colour(op: str) -> str:
    return BY_OP[op].ansi if op in BY_OP else ""


def number(value: float) -> str:
    """A frame count: whole frames without a decimal point, else three
    decimals with the trailing zeros cut."""
    if not math.isfinite(value):
        return "?"
    if math.isclose(value, round(value), abs_tol=1e-6):
        return str(int(round(value)))
    return f"{value:.3f}".rstrip("0")


def timecode(frames: float, rate: float) -> str:
    """HH:MM:SS:FF of a frame count at a rate, non-drop-frame, at the
    nearest whole rate (23.976 counts as 24)."""
    if not (math.isfinite(frames) and math.isfinite(rate)):
        return "??:??:??:??"
    fps = max(1, int(round(rate)))
    total = int(round(frames))
    sign = "-" if total < 0 else ""
    total = abs(total)
    seconds, frame = divmod(total, fps)
    minutes, second = divmod(seconds, 60)
    hours, minute = divmod(minutes, 60)
    return f"{sign}{hours:02d}:{minute:02d}:{second:02d}:{frame:02d}"


def _time(value: Optional[Dict[str, Any]]) -> Tuple[float, float]:
    """(value, rate) of a payload time; rate 1 when it has none."""
    if not value:
        return (math.nan, 1.0)
    amount = value.get("value")
    rate = value.get("rate")
    return (float(amount) if amount is not None else math.nan,
            float(rate) if rate else 1.0)


def length(time: Optional[Dict[str, Any]]) -> str:
    """'24 frames (00:00:01:00)' for a payload time, at its own rate."""
    amount, rate = _time(time)
    if math.isnan(amount):
        return "unknown length"
    return f"{number(amount)} frames ({timecode(amount, rate)})"


def clip_name(ref: Optional[Dict[str, Any]], missing: str = "the start") -> str:
    """How a clip reference is named in a line."""
    if ref is None:
        return missing
    if ref.get("name"):
        return str(ref["name"])
    media = ref.get("media_reference")
    return f"[{media}]" if media else "(unnamed clip)"


def media_name(media: Optional[str]) -> str:
    return media if media else "no media"


def _rate_note(rate: float) -> str:
    return f"@{number(rate)}"


def trim_detail(before: Dict[str, Any], after: Dict[str, Any]) -> str:
    """Duration, head and tail of a trim, in frames at the clip's rate."""
    start0, rate0 = _time(before.get("start_time"))
    dur0, drate0 = _time(before.get("duration"))
    start1, rate1 = _time(after.get("start_time"))
    dur1, drate1 = _time(after.get("duration"))
    if not (math.isclose(rate0, rate1) and math.isclose(rate0, drate0)
            and math.isclose(rate1, drate1)):
        # Different rates: each side in its own frames.
        return (f"{number(dur0)} frames {_rate_note(drate0)} -> "
                f"{number(dur1)} frames {_rate_note(drate1)}, source in "
                f"{timecode(start0, rate0)} {_rate_note(rate0)} -> "
                f"{timecode(start1, rate1)} {_rate_note(rate1)}")
    rate = rate0
    parts = [f"{number(dur0)} -> {number(dur1)} frames "
             f"({timecode(dur0, rate)} -> {timecode(dur1, rate)})"]
    head = start1 - start0
    tail = (start1 + dur1) - (start0 + dur0)
    if math.isfinite(head) and not math.isclose(head, 0.0, abs_tol=1e-6):
        parts.append(f"head {head:+g}, in {timecode(start0, rate)} -> {timecode(start1, rate)}")
    if math.isfinite(tail) and not math.isclose(tail, 0.0, abs_tol=1e-6):
        parts.append(f"tail {tail:+g}, out {timecode(start0 + dur0, rate)} -> "
                     f"{timecode(start1 + dur1, rate)}")
    return ", ".join(parts)


def subject_and_detail(change: Dict[str, Any]) -> Tuple[str, str]:
    """The clip, transition or track a payload is about, and what happened to it."""
    op = change.get("op")
    if op in ("track_added", "track_removed"):
        verb = "added" if op == "track_added" else "removed"
        return (str(change.get("name") or "(unnamed track)"),
                f"{change.get('kind')} track {verb}")
    if op in ("transition_added", "transition_removed"):
        name = str(change.get("name") or "transition")
        detail = (f"between {clip_name(change.get('between_before'))} and "
                  f"{clip_name(change.get('between_after'), 'the end')}")
        if op == "transition_added":
            detail += ", " + length(change.get("duration"))
        return name, detail
    subject = clip_name(change.get("clip"), "(unnamed clip)")
    if op == "trimmed":
        return subject, trim_detail(change.get("before") or {}, change.get("after") or {})
    if op == "moved":
        return subject, (
            f"position {int(change['from_index']) + 1} -> {int(change['to_index']) + 1}, now after "
            f"{clip_name(change.get('before_neighbor'))}, before "
            f"{clip_name(change.get('after_neighbor'), 'the end')}")
    if op in ("added", "removed"):
        media = (change.get("clip") or {}).get("media_reference")
        where = "at" if op == "added" else "from"
        return subject, f"{where} position {int(change['index']) + 1}, {media_name(media)}"
    if op == "effects_changed":
        return subject, f"{change.get('before')} -> {counted(change.get('after'), 'effect', 'effects')}"
    if op == "replaced":
        return subject, (f"{media_name(change.get('before_media'))} -> "
                         f"{media_name(change.get('after_media'))}")
    return subject, str(op)


def track_of(change: Dict[str, Any]) -> str:
    """The track a payload belongs to in the grouped list."""
    if change.get("op") in ("track_added", "track_removed"):
        return str(change.get("name", ""))
    return str(change.get("track", change.get("from_track", "")))


def summary(changes: Iterable[Dict[str, Any]]) -> str:
    counts: Dict[str, int] = {}
    total = 0
    for change in changes:
        counts[str(change.get("op"))] = counts.get(str(change.get("op")), 0) + 1
        total += 1
    parts = [counted(counts[kind.op], kind.one, kind.several) for kind in KINDS
             if kind.op in BASIC_OPS and counts.get(kind.op)]
    return counted(total, "change", "changes") + ": " + ", ".join(parts) if parts else "no changes"


def change_lines(changes: List[Dict[str, Any]], paint: Painter, indent: str = "") -> List[str]:
    """The change list, grouped by track in the order tracks first appear."""
    groups: Dict[str, List[Dict[str, Any]]] = {}
    for change in changes:
        groups.setdefault(track_of(change), []).append(change)
    width = max((len(_label(str(c.get("op")))) if c.get("op") in BASIC_OPS else 0
                 for c in changes), default=0)
    described = [(c, shown(subject), shown(detail))
                 for c, (subject, detail) in ((c, subject_and_detail(c)) for c in changes)]
    subject_width = max((len(subject) for _, subject, _ in described), default=0)
    by_change = {id(c): (subject, detail) for c, subject, detail in described}
    lines: List[str] = []
    for track, group in groups.items():
        lines.append(indent + paint(f"track {shown(track)}" if track else "unnamed track", "1"))
        for change in group:
            op = str(change.get("op"))
            subject, detail = by_change[id(change)]
            label = paint((_label(op) if op in BASIC_OPS else op).ljust(width),
                          _colour(op) if op in BASIC_OPS else "")
            lines.append(f"{indent}  {label}  {subject.ljust(subject_width)}  {detail}")
    return lines
