"""The NEW timeline of a diff with one marker per change record.

Works on the OTIO JSON document itself (dicts and lists), so it needs no
OpenTimelineIO for an ``.otio`` result. A record says where its clip is in
the after timeline: the track's label (`after_track`) and the clip's
position among that track's direct clips (`after_index`). The marker goes
on that clip, over its whole source range, where every viewer shows it and
where the EDL and FCP XML adapters write it out (EDL ``LOC`` comments, FCP
``<marker>`` elements).

Where the record's clip is not in the after timeline (a removed clip), the
marker goes where the clip was: the record's `record_in` and `record_out`
(the clip's place in the before timeline) are laid over the after track,
and the marker goes on the clip that now stands at `record_in`, over the
frames the removed clip covered; when the track ends before that time, on
the track's last clip at its last frame; on a track with no clips, on the
track itself at that time. A transition record's marker goes on the clip
before its cut, at its last frame (the first clip, at its first frame, for a
cut before every clip). Track records are marked on the track (added or
renamed) or on the timeline's top stack (removed).

The colour encodes the kind (kinds.py), the name and comment say the change,
and the metadata holds the record under ``"tesmo"``.
"""

from __future__ import annotations

import bisect
import copy
import json
from typing import Any, Dict, List, Optional, Tuple

from .changes import describe
from .kinds import BY_OP
from .otio_json import Json, clips, labelled_tracks, media_reference, schema

# A marker's name is the start of its comment.
NAME_LENGTH = 80

Seconds = float


def _rational(value: float, rate: float) -> Json:
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": float(rate), "value": float(value)}


def _range(start: float, duration: float, rate: float) -> Json:
    return {"OTIO_SCHEMA": "TimeRange.1", "start_time": _rational(start, rate),
            "duration": _rational(duration, rate)}


def _number(value: Any) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)


def _time(value: Any) -> Optional[Tuple[float, float]]:
    """(value, rate) of a time, or None."""
    if not isinstance(value, dict):
        return None
    amount, rate = _number(value.get("value")), _number(value.get("rate"))
    if amount is None or not rate or rate <= 0:
        return None
    return amount, rate


def _source(item: Json) -> Optional[Tuple[Tuple[float, float], Tuple[float, float]]]:
    """(start, duration) of an item's trimmed range: its source range, else,
    for a clip, its media's available range."""
    for value in (item.get("source_range"),
                  (media_reference(item) or {}).get("available_range")
                  if schema(item) == "Clip" and isinstance(media_reference(item), dict) else None):
        if isinstance(value, dict):
            start, duration = _time(value.get("start_time")), _time(value.get("duration"))
            if duration is not None:
                return (start if start is not None else (0.0, duration[1])), duration
    return None


def _seconds(item: Json) -> Seconds:
    """How long an item lasts in its parent, in seconds (transitions take none)."""
    source = _source(item)
    if source is not None:
        return source[1][0] / source[1][1]
    kind = schema(item)
    children = item.get("children")
    if not isinstance(children, list):
        return 0.0
    lengths = [_seconds(child) for child in children
               if isinstance(child, dict) and schema(child) != "Transition"]
    if kind == "Stack":
        return max(lengths, default=0.0)
    if kind == "Track":
        return sum(lengths)
    return 0.0


def marker(record: Json, marked_range: Json) -> Json:
    text = describe(record)
    kind = BY_OP.get(str(record.get("op")))
    return {
        "OTIO_SCHEMA": "Marker.2",
        "name": text if len(text) <= NAME_LENGTH else text[:NAME_LENGTH - 3] + "...",
        "color": kind.marker if kind else "RED",
        "comment": text,
        "marked_range": marked_range,
        "metadata": {"tesmo": record},
    }


def _add_marker(item: Json, new_marker: Json) -> None:
    markers = item.get("markers")
    if not isinstance(markers, list):
        markers = item["markers"] = []
    markers.append(new_marker)


def _whole(clip: Json) -> Json:
    source = _source(clip)
    if source is None:
        return _range(0, 0, 24)
    (start, rate), (duration, duration_rate) = source
    return _range(start, duration * rate / duration_rate, rate)


def _edge(clip: Json, at_end: bool) -> Json:
    """The first or the last frame of a clip."""
    source = _source(clip)
    if source is None:
        return _range(0, 0, 24)
    (start, rate), (duration, duration_rate) = source
    frames = duration * rate / duration_rate
    return _range(start + max(frames - 1, 0) if at_end else start, min(1, frames), rate)


def _copy(document: Any) -> Any:
    """A copy to add markers to. Documents are JSON values, which a round
    trip through the json module copies several times faster than deepcopy."""
    try:
        return json.loads(json.dumps(document, allow_nan=True))
    except (TypeError, ValueError, RecursionError):
        return copy.deepcopy(document)


class _Track:
    """A track of the after document: its direct clips, by position, and,
    made on first use, where each clip with a length sits in time, so that
    finding a record's clip or place costs the same on any length of track."""

    def __init__(self, track: Json) -> None:
        self.track = track
        self.clips = clips(track)
        self._layout: Optional[Tuple[List[Seconds], List[Seconds], List[Json]]] = None

    def layout(self) -> Tuple[List[Seconds], List[Seconds], List[Json]]:
        """(starts, ends, clips) of the clips that last, in seconds from the
        track's start, in order."""
        if self._layout is None:
            starts: List[Seconds] = []
            ends: List[Seconds] = []
            placed: List[Json] = []
            position: Seconds = 0.0
            children = self.track.get("children")
            for child in children if isinstance(children, list) else []:
                if not isinstance(child, dict) or schema(child) == "Transition":
                    continue
                length = _seconds(child)
                if schema(child) == "Clip" and length > 0:
                    starts.append(position)
                    ends.append(position + length)
                    placed.append(child)
                position += length
            self._layout = (starts, ends, placed)
        return self._layout

    def where_it_was(self, record: Json) -> Tuple[Json, Json]:
        """The item and range that mark a place of the before timeline on
        this track: record_in to record_out laid over the track's clips."""
        begin, end = _time(record.get("record_in")), _time(record.get("record_out"))
        if begin is None:
            return self.track, _range(0, 0, 24)
        at = begin[0] / begin[1]
        until = max(end[0] / end[1], at) if end is not None else at
        starts, ends, placed = self.layout()
        index = bisect.bisect_right(starts, at) - 1
        if index >= 0 and at < ends[index]:
            # The clip now at that time, over the frames the removed one covered.
            clip = placed[index]
            (start, rate), _ = _source(clip) or ((0.0, 24.0), (0.0, 24.0))
            return clip, _range(_frame(start + (at - starts[index]) * rate),
                                _frame((min(until, ends[index]) - at) * rate), rate)
        if index + 1 < len(placed):
            # Nothing stands there (a gap, a nested stack): the clip that follows.
            clip = placed[index + 1]
            (start, rate), _ = _source(clip) or ((0.0, 24.0), (0.0, 24.0))
            covered = (min(until, ends[index + 1]) - starts[index + 1]) * rate
            return clip, _range(start, _frame(covered) if covered > 0 else 1, rate)
        if placed:
            return placed[-1], _edge(placed[-1], at_end=True)
        return self.track, _range(begin[0], max((end[0] if end else begin[0]) - begin[0], 0.0),
                                  begin[1])


def _frame(value: float) -> float:
    """A frame count worked out in seconds, without the float noise of the
    round trip (10.000000000000002 is 10)."""
    return round(value, 6)


def _place(record: Json, stack: Json, tracks: Dict[str, _Track]) -> Tuple[Json, Json]:
    """The item a record's marker goes on, and the range it marks."""
    op = str(record.get("op"))
    label = record.get("after_track")
    track = tracks.get(label) if isinstance(label, str) else None
    if op.startswith("track_"):
        if op != "track_removed" and track is not None:
            return track.track, _range(0, 0, 24)
        return stack, _range(0, 0, 24)
    if track is None:
        return stack, _range(0, 0, 24)
    found = track.clips
    index = record.get("after_index")
    if isinstance(index, int) and not isinstance(index, bool):
        if op.startswith("transition_"):
            if 0 < index <= len(found):
                return found[index - 1], _edge(found[index - 1], at_end=True)
            if index == 0 and found:
                return found[0], _edge(found[0], at_end=False)
        elif 0 <= index < len(found):
            return found[index], _whole(found[index])
    return track.where_it_was(record)


def annotate(after: Any, records: List[Json]) -> Any:
    """A copy of the after document with one marker per record."""
    result = _copy(after)
    stack = result.get("tracks") if isinstance(result, dict) else None
    if not isinstance(stack, dict):
        return result
    tracks = {label: _Track(track) for label, track in labelled_tracks(result).items()}
    for record in records:
        item, marked = _place(record, stack, tracks)
        _add_marker(item, marker(record, marked))
    return result


# A conflict of a merge is marked in red, like a change nothing settled.
CONFLICT_COLOUR = "RED"


def conflict_marker(conflict: Json, marked_range: Json) -> Json:
    """The marker of one conflict of a merge: its message as name and
    comment, the conflict under ``"tesmo"`` → ``"conflict"``."""
    text = "conflict: " + str(conflict.get("message", ""))
    return {
        "OTIO_SCHEMA": "Marker.2",
        "name": text if len(text) <= NAME_LENGTH else text[:NAME_LENGTH - 3] + "...",
        "color": CONFLICT_COLOUR,
        "comment": text,
        "marked_range": marked_range,
        "metadata": {"tesmo": {"conflict": conflict}},
    }


def annotate_conflicts(merged: Any, conflicts: List[Json]) -> Any:
    """A copy of a merged document with one marker per conflict, on the
    clip the merge kept there: where the engine found it in the merged
    timeline (``merged_track``, ``merged_index``). A conflict whose clip is
    not there is marked on its track, or on the top stack when the track is
    gone."""
    result = _copy(merged)
    stack = result.get("tracks") if isinstance(result, dict) else None
    if not isinstance(stack, dict):
        return result
    tracks = {label: _Track(track) for label, track in labelled_tracks(result).items()}
    for conflict in conflicts:
        place = {"op": "conflict", "after_track": conflict.get("merged_track") or conflict.get("track"),
                 "after_index": conflict.get("merged_index")}
        item, marked = _place(place, stack, tracks)
        _add_marker(item, conflict_marker(conflict, marked))
    return result


def conflict_markers(document: Any) -> int:
    """How many conflict markers of a merge a document still holds."""
    count = 0
    pending: List[Any] = [document]
    while pending:
        value = pending.pop()
        if isinstance(value, dict):
            if str(value.get("OTIO_SCHEMA", "")).startswith("Marker."):
                metadata = value.get("metadata")
                tesmo = metadata.get("tesmo") if isinstance(metadata, dict) else None
                if isinstance(tesmo, dict) and "conflict" in tesmo:
                    count += 1
            pending.extend(value.values())
        elif isinstance(value, list):
            pending.extend(value)
    return count
