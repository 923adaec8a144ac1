"""The visual change report: two versions of a cut drawn side by side.

``render_report(before, after)`` returns one self-contained HTML page. The
page carries a compact JSON model of both timelines (every clip at its
record position, every transition at its cut) and of the change records that
``tesmo.diff`` gives; an inline script draws the lanes on a canvas and keeps
one SVG element per change record, each carrying ``data-op``.

Record positions are computed here from the timeline dicts, the way
OpenTimelineIO lays out a track: items follow each other in order, a gap
takes its length, and a transition takes no time of its own but overlaps its
in_offset into the item before its cut and its out_offset into the item
after it. The tracks and clips are read as the tesmo module reads them:
top-level tracks only, clips, gaps (and fillers) and transitions among
their children, everything else skipped.
"""

from __future__ import annotations

import html
import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import tesmo

from .otio_json import media, media_reference, pair_tracks, schema, text, track_kind, tracks
from .report_page import PAGE_SCRIPT, PAGE_STYLE

__all__ = ["render_report", "build_model", "OPS"]

# The op strings of the ten kinds of change, in the order the page uses
# for its legend, summary and colours.
OPS: Tuple[str, ...] = (
    "trimmed",
    "moved",
    "replaced",
    "effects_changed",
    "added",
    "removed",
    "transition_added",
    "transition_removed",
    "track_added",
    "track_removed",
)
_OP_CODE = {op: code for code, op in enumerate(OPS)}

# The rate a track is drawn at when none of its items gives one.
_DEFAULT_RATE = 24.0


# ---------------------------------------------------------------------------
# Reading the timeline dicts


@dataclass
class _Time:
    value: float
    rate: float

    def seconds(self) -> float:
        return self.value / self.rate if self.rate > 0 else self.value


@dataclass
class _Clip:
    name: str
    media: Optional[str]
    start: Optional[_Time]
    duration: Optional[_Time]
    effects: int
    item_index: int  # place in the track's item list
    next_transition: Optional[int] = None  # index into the track's transitions
    record_in: float = 0.0  # seconds from the track's start
    length: float = 0.0  # seconds


@dataclass
class _Transition:
    name: str
    cut: float  # seconds from the track's start
    in_offset: float  # seconds before the cut
    out_offset: float  # seconds after the cut
    after_clip: Optional[int]  # clip position of the clip the transition follows


@dataclass
class _Track:
    name: str
    kind: str
    rate: float
    clips: List[_Clip] = field(default_factory=list)
    transitions: List[_Transition] = field(default_factory=list)
    length: float = 0.0


def _number(value: Any) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)


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


def _item_length(item: Dict[str, Any], reference: Any = None) -> Optional[_Time]:
    """How long an item lasts in its track: its source range's duration, or
    for a clip without one, its media's available range."""
    span = _range(item.get("source_range"))
    if span is None and isinstance(reference, dict):
        span = _range(reference.get("available_range"))
    return None if span is None else span[1]


def _track_rate(children: Sequence[Any]) -> float:
    for child in children:
        if schema(child) in ("Clip", "Gap", "Filler"):
            length = _item_length(child, media_reference(child))
            if length is not None and length.rate > 0 and math.isfinite(length.rate):
                return length.rate
    return _DEFAULT_RATE


def _read_track(value: Dict[str, Any]) -> _Track:
    children = value.get("children")
    items = children if isinstance(children, list) else []
    track = _Track(text(value.get("name")), track_kind(value), _track_rate(items))
    now = 0.0
    item_index = 0
    previous_clip: Optional[_Clip] = None  # the clip directly before, if the last item was one
    for child in items:
        kind = schema(child)
        if kind == "Clip":
            reference = media_reference(child)
            span = _range(child.get("source_range"))
            length = _item_length(child, reference)
            effects = child.get("effects")
            clip = _Clip(
                name=text(child.get("name")),
                media=media(reference),
                start=span[0] if span else None,
                duration=span[1] if span else None,
                effects=len(effects) if isinstance(effects, list) else 0,
                item_index=item_index,
                record_in=now,
                length=max(0.0, length.seconds()) if length else 0.0,
            )
            now += clip.length
            track.clips.append(clip)
            previous_clip = clip
        elif kind in ("Gap", "Filler"):
            length = _item_length(child)
            now += max(0.0, length.seconds()) if length else 0.0
            previous_clip = None
        elif kind == "Transition":
            in_offset = _time(child.get("in_offset"))
            out_offset = _time(child.get("out_offset"))
            after_clip = None
            if previous_clip is not None:
                after_clip = len(track.clips) - 1
                previous_clip.next_transition = len(track.transitions)
            track.transitions.append(_Transition(
                name=text(child.get("name")),
                cut=now,
                in_offset=in_offset.seconds() if in_offset else 0.0,
                out_offset=out_offset.seconds() if out_offset else 0.0,
                after_clip=after_clip,
            ))
            previous_clip = None
        else:
            continue
        item_index += 1
    track.length = now
    return track


def _read_tracks(timeline: Any) -> List[_Track]:
    return [_read_track(track) for track in tracks(timeline)]


# ---------------------------------------------------------------------------
# Pairing: which tracks and clips the drawing puts against each other


def _exact_key(clip: _Clip) -> Optional[str]:
    if clip.media is None or clip.start is None or clip.duration is None:
        return None
    numbers = (clip.start.value, clip.start.rate, clip.duration.value, clip.duration.rate)
    return clip.media + "|" + "|".join(f"{number:.6f}" for number in numbers)


def _identity_key(clip: _Clip) -> Optional[str]:
    if clip.name:
        return "name:" + clip.name
    if clip.media is not None:
        return "media:" + clip.media
    return None


def _pair_clips(before: List[_Clip], after: List[_Clip]) -> Dict[int, int]:
    """Clip pairs as before position -> after position: first clips with
    equal media and source range, then the rest by name (or media)."""
    pairs: Dict[int, int] = {}
    paired_after: set[int] = set()
    for key_of in (_exact_key, _identity_key):
        groups: Dict[str, Tuple[List[int], List[int]]] = {}
        for position, clip in enumerate(before):
            key = key_of(clip) if position not in pairs else None
            if key is not None:
                groups.setdefault(key, ([], []))[0].append(position)
        for position, clip in enumerate(after):
            key = key_of(clip) if position not in paired_after else None
            if key is not None:
                groups.setdefault(key, ([], []))[1].append(position)
        for key in sorted(groups):
            olds, news = groups[key]
            for old, new in zip(olds, news):
                pairs[old] = new
                paired_after.add(new)
    return pairs


# ---------------------------------------------------------------------------
# Placing each change record on the drawing


@dataclass
class _Lanes:
    """One group of lanes: a track pair, or a track on one side only."""
    old: Optional[_Track]
    new: Optional[_Track]
    old_index: int
    new_index: int
    pairs: Dict[int, int] = field(default_factory=dict)
    reverse: Dict[int, int] = field(default_factory=dict)
    _by_ref: Dict[int, Dict[Tuple[str, Optional[str]], List[int]]] = field(default_factory=dict)

    def clips_named(self, track: _Track, ref: Any) -> List[int]:
        """Positions of the clips of `track` that a record's clip reference
        names, in order."""
        if not isinstance(ref, dict):
            return []
        index = self._by_ref.get(id(track))
        if index is None:
            index = {}
            for position, clip in enumerate(track.clips):
                index.setdefault((clip.name, clip.media), []).append(position)
            self._by_ref[id(track)] = index
        name, media = ref.get("name"), ref.get("media_reference")
        if not isinstance(name, str) or not (media is None or isinstance(media, str)):
            return []
        return index.get((name, media), [])

    @property
    def display_name(self) -> str:
        if self.new is not None and self.new.name:
            return self.new.name
        return self.old.name if self.old is not None else ""


@dataclass
class _Placed:
    op: str
    lanes: int
    old_clip: int = -1
    new_clip: int = -1
    old_transition: int = -1
    new_transition: int = -1
    head: float = 0.0  # frames gained (+) or cut (-) at the head, at the lane rate
    tail: float = 0.0  # frames gained (+) or cut (-) at the tail


def _ref_is(clip: _Clip, ref: Any) -> bool:
    return (isinstance(ref, dict) and clip.name == ref.get("name")
            and clip.media == ref.get("media_reference"))


def _frames(seconds: float, rate: float) -> float:
    return seconds * rate


def _locate(record: Dict[str, Any], lanes: _Lanes, index: int, used: set[Tuple[str, int]]
            ) -> Optional[_Placed]:
    """Where a clip or transition record of one track pair is drawn, or None
    when nothing in that pair fits it."""
    op = record["op"]
    old, new = lanes.old, lanes.new
    if old is None or new is None:
        return None
    placed = _Placed(op, index)
    if op in ("added", "removed"):
        track, position = (new, record["index"]) if op == "added" else (old, record["index"])
        if position >= len(track.clips) or not _ref_is(track.clips[position], record["clip"]):
            return None
        if op == "added":
            placed.new_clip = position
        else:
            placed.old_clip = position
        return placed
    if op == "moved":
        a, b = record["to_index"], record["from_index"]
        if a >= len(new.clips) or b >= len(old.clips) or not _ref_is(new.clips[a], record["clip"]):
            return None
        placed.old_clip, placed.new_clip = b, a
        return placed
    if op in ("transition_added", "transition_removed"):
        track = new if op == "transition_added" else old
        other = old if op == "transition_added" else new
        partner = lanes.reverse if op == "transition_added" else lanes.pairs
        for position in lanes.clips_named(track, record["between_before"]):
            clip = track.clips[position]
            if clip.next_transition is None or (op, position) in used:
                continue
            counterpart = partner.get(position)
            if counterpart is not None and other.clips[counterpart].next_transition is not None:
                continue
            used.add((op, position))
            if op == "transition_added":
                placed.new_transition = clip.next_transition
            else:
                placed.old_transition = clip.next_transition
            return placed
        return None
    # trimmed, effects_changed, replaced: the record names the after clip.
    for a in lanes.clips_named(new, record["clip"]):
        b = lanes.reverse.get(a)
        if b is None or (op, a) in used:
            continue
        after_clip, before_clip = new.clips[a], old.clips[b]
        if op == "effects_changed" and (before_clip.effects, after_clip.effects) != (
                record["before"], record["after"]):
            continue
        if op == "replaced" and (before_clip.media, after_clip.media) != (
                record["before_media"], record["after_media"]):
            continue
        if op == "trimmed" and (before_clip.start is None or after_clip.start is None):
            continue
        used.add((op, a))
        placed.old_clip, placed.new_clip = b, a
        if op == "trimmed":
            rate = new.rate
            before_start = _seconds(record["before"]["start_time"])
            after_start = _seconds(record["after"]["start_time"])
            before_end = before_start + _seconds(record["before"]["duration"])
            after_end = after_start + _seconds(record["after"]["duration"])
            # Starting earlier gains frames at the head; ending later gains
            # them at the tail.
            placed.head = _frames(before_start - after_start, rate)
            placed.tail = _frames(after_end - before_end, rate)
        return placed
    return None


def _seconds(value: Any) -> float:
    time = _time(value)
    return 0.0 if time is None else time.seconds()


def _layout(before: List[_Track], after: List[_Track]) -> List[_Lanes]:
    """Lane groups from top to bottom: the after tracks in order, paired
    or added, with each removed track shown where it stood before."""
    pairs = pair_tracks(before, after, lambda track: (track.kind, track.name))
    by_after = {a: b for b, a in pairs}
    paired_before = set(by_after.values())
    groups: List[_Lanes] = []
    shown_before = 0
    for a, track in enumerate(after):
        b = by_after.get(a, -1)
        if b >= 0:
            for removed in range(shown_before, b):
                if removed not in paired_before:
                    groups.append(_Lanes(before[removed], None, removed, -1))
            shown_before = max(shown_before, b + 1)
            group = _Lanes(before[b], track, b, a)
            group.pairs = _pair_clips(before[b].clips, track.clips)
            group.reverse = {new: old for old, new in group.pairs.items()}
            groups.append(group)
        else:
            groups.append(_Lanes(None, track, -1, a))
    for removed in range(shown_before, len(before)):
        if removed not in paired_before:
            groups.append(_Lanes(before[removed], None, removed, -1))
    return groups


def _place_all(records: List[Dict[str, Any]], groups: List[_Lanes]) -> List[_Placed]:
    paired = [i for i, group in enumerate(groups) if group.old is not None and group.new is not None]
    removed_tracks = sorted((i for i, g in enumerate(groups) if g.new is None),
                            key=lambda i: groups[i].old_index)
    added_tracks = sorted((i for i, g in enumerate(groups) if g.old is None),
                          key=lambda i: groups[i].new_index)
    # The diff reports track pairs in the after timeline's order.
    paired.sort(key=lambda i: groups[i].new_index)
    cursor = 0
    used: Dict[int, set[Tuple[str, int]]] = {i: set() for i in paired}
    placed: List[_Placed] = []
    for record in records:
        op = record["op"]
        if op in ("track_added", "track_removed"):
            queue = added_tracks if op == "track_added" else removed_tracks
            index = queue.pop(0) if queue else -1
            placed.append(_Placed(op, index))
            continue
        track_name = record.get("track", record.get("from_track"))
        spot: Optional[_Placed] = None
        for step in range(cursor, len(paired)):
            group = paired[step]
            if groups[group].display_name != track_name:
                continue
            spot = _locate(record, groups[group], group, used[group])
            if spot is not None:
                cursor = step
                break
        if spot is None:
            # Nothing fits: the record is listed, attached to its track.
            fallback = next((g for g in paired[cursor:] if groups[g].display_name == track_name),
                            paired[cursor] if paired[cursor:] else -1)
            spot = _Placed(op, fallback)
        placed.append(spot)
    return placed


# ---------------------------------------------------------------------------
# Text for the change table


def _count(value: float) -> str:
    if not math.isfinite(value):
        return str(value)
    rounded = round(value, 3)
    return str(int(rounded)) if rounded == int(rounded) else f"{rounded:g}"


def _signed(value: float) -> str:
    amount = _count(abs(value))
    return ("+" if value > 0 else "\u2212" if value < 0 else "\u00b1") + amount


def _ref_name(ref: Any, missing: str) -> str:
    if isinstance(ref, dict) and ref.get("name"):
        return str(ref["name"])
    if isinstance(ref, dict) and ref.get("media_reference"):
        return str(ref["media_reference"])
    return missing


def _frames_at(value: Any, rate: float) -> str:
    return _count(_seconds(value) * rate)


def _detail(record: Dict[str, Any], spot: _Placed, groups: List[_Lanes]) -> Tuple[str, str]:
    """The subject (clip, transition or track name) and one line saying
    what happened, in frames at the track's rate; positions count from 1,
    as in the command's change list."""
    op = record["op"]
    group = groups[spot.lanes] if 0 <= spot.lanes < len(groups) else None
    track = (group.new or group.old) if group else None
    rate = track.rate if track else _DEFAULT_RATE
    if op in ("track_added", "track_removed"):
        return record["name"] or "(unnamed)", f"{record['kind']} track"
    if op in ("transition_added", "transition_removed"):
        where = (f"between {_ref_name(record['between_before'], 'the start')} and "
                 f"{_ref_name(record['between_after'], 'the end')}")
        if record.get("duration"):
            where = f"{_frames_at(record['duration'], rate)} frames, {where}"
        return record["name"] or "(transition)", where
    subject = _ref_name(record["clip"], "(unnamed clip)")
    if op == "trimmed":
        before, after = record["before"], record["after"]
        return subject, (f"in {_frames_at(before['start_time'], rate)} \u2192 "
                         f"{_frames_at(after['start_time'], rate)}, length "
                         f"{_frames_at(before['duration'], rate)} \u2192 "
                         f"{_frames_at(after['duration'], rate)} frames (head "
                         f"{_signed(spot.head)}, tail {_signed(spot.tail)})")
    if op == "moved":
        return subject, (f"position {record['from_index'] + 1} \u2192 {record['to_index'] + 1}, "
                         f"now after {_ref_name(record['before_neighbor'], 'the start')}")
    if op in ("added", "removed"):
        return subject, f"at position {record['index'] + 1}"
    if op == "effects_changed":
        return subject, f"{record['before']} \u2192 {record['after']} effects"
    return subject, (f"{record['before_media'] or '(no media)'} \u2192 "
                     f"{record['after_media'] or '(no media)'}")


# ---------------------------------------------------------------------------
# The page


def _num(value: float) -> float | int:
    """A time for the page's model: three decimals, an integer when whole;
    0 for a value that is not finite, which JSON cannot hold."""
    if not math.isfinite(value):
        return 0
    rounded = round(value, 3)
    return int(rounded) if rounded == int(rounded) else rounded


class _MediaTable:
    def __init__(self) -> None:
        self.index: Dict[str, int] = {}
        self.names: List[str] = []

    def __call__(self, media: Optional[str]) -> int:
        if media is None:
            return -1
        if media not in self.index:
            self.index[media] = len(self.names)
            self.names.append(media)
        return self.index[media]


def _track_model(track: Optional[_Track], media: _MediaTable) -> Any:
    """A lane's data: [name, kind, rate, length in frames, clips, transitions].
    A clip is [name, media, source start, source duration, source rate,
    record in, record length, effects]; record times are frames at the
    lane's rate, source times in the clip's own rate (0 when absent).
    A transition is [name, cut, in_offset, out_offset] in frames."""
    if track is None:
        return None
    rate = track.rate
    clips = [[clip.name, media(clip.media),
              _num(clip.start.value) if clip.start else 0,
              _num(clip.duration.value) if clip.duration else 0,
              _num(clip.duration.rate) if clip.duration else 0,
              _num(clip.record_in * rate), _num(clip.length * rate), clip.effects]
             for clip in track.clips]
    transitions = [[transition.name, _num(transition.cut * rate),
                    _num(transition.in_offset * rate), _num(transition.out_offset * rate)]
                   for transition in track.transitions]
    return [track.name, track.kind, _num(rate), _num(track.length * rate), clips, transitions]


def _script_json(value: Any) -> str:
    written = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    # Inside <script> only "</" could end the element early; JSON.parse
    # reads the escaped forms back as the same characters.
    return written.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def build_model(before: Any, after: Any, *, before_label: str = "OLD",
                after_label: str = "NEW", title: Optional[str] = None) -> Dict[str, Any]:
    """The data the page draws, as a JSON-ready dict. Raises
    ``tesmo.TesmoError`` when either timeline cannot be read."""
    changes = [change.to_dict() for change in tesmo.diff(before, after)]
    groups = _layout(_read_tracks(before), _read_tracks(after))
    placed = _place_all(changes, groups)
    media = _MediaTable()
    lanes = [[group.display_name, _track_model(group.old, media), _track_model(group.new, media)]
             for group in groups]
    records = []
    for record, spot in zip(changes, placed):
        subject, detail = _detail(record, spot, groups)
        records.append([_OP_CODE[record["op"]], spot.lanes, spot.old_clip, spot.new_clip,
                        spot.old_transition, spot.new_transition, subject, detail,
                        _num(spot.head), _num(spot.tail)])
    if title is None:
        names = [value.get("name") for value in (before, after) if isinstance(value, dict)]
        named = [name for name in names if isinstance(name, str) and name]
        title = f"Changes to {named[-1]}" if named else "Changes between two cuts"
    return {"title": title, "labels": [before_label, after_label], "ops": list(OPS),
            "media": media.names, "lanes": lanes, "records": records}


def render_report(before: Any, after: Any, *, before_label: str = "OLD",
                  after_label: str = "NEW", title: Optional[str] = None) -> str:
    """The change report between two timeline dicts (OpenTimelineIO JSON)
    as one self-contained HTML page, starting with ``<!DOCTYPE html>``.

    The page needs no network: style, script and data are inline, and its
    content security policy forbids every fetch. Each change record is one
    element with a ``data-op`` attribute holding its op string, and the
    root element's ``data-records`` holds the number of records. Raises
    ``tesmo.TesmoError`` when either timeline cannot be read."""
    model = build_model(before, after, before_label=before_label,
                        after_label=after_label, title=title)
    count = len(model["records"])
    heading = html.escape(model["title"])
    noun = "change" if count == 1 else "changes"
    return (
        "<!DOCTYPE html>\n"
        f'<html lang="en" data-records="{count}">\n<head>\n<meta charset="utf-8">\n'
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; '
        "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{heading}</title>\n<style>{PAGE_STYLE}</style>\n</head>\n<body>\n"
        f'<header><h1>{heading}</h1><p class="sub">{html.escape(before_label)} \u2192 '
        f'{html.escape(after_label)} \u00b7 <b id="record-count">{count}</b> {noun}</p>'
        '<div id="summary"></div></header>\n'
        '<div id="legend"></div>\n'
        '<div id="toolbar"><button id="zoom-out" title="Zoom out (-)">\u2212</button>'
        '<button id="zoom-in" title="Zoom in (+)">+</button>'
        '<button id="zoom-fit" title="Show the whole cut (0)">Fit</button>'
        '<span class="hint">Ctrl + wheel zooms at the pointer; scroll sideways to move '
        'along time; click a clip or a row to select it.</span></div>\n'
        '<div id="view"><div id="spacer"></div><div id="stage"><canvas id="lanes"></canvas>'
        '<svg id="marks" xmlns="http://www.w3.org/2000/svg"></svg></div></div>\n'
        '<div id="tip" hidden></div>\n'
        '<table id="changes"><thead><tr><th>#</th><th>Change</th><th>Track</th>'
        "<th>Clip or transition</th><th>What happened</th></tr></thead><tbody></tbody></table>\n"
        f'<script type="application/json" id="model">{_script_json(model)}</script>\n'
        f"<script>{PAGE_SCRIPT}</script>\n</body>\n</html>\n"
    )
