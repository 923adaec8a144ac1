"""The NEW timeline of a diff with a marker on each clip a change names.

Works on the OTIO JSON document itself (dicts and lists), so it needs no
OpenTimelineIO for an ``.otio`` result. Markers go on clips, where every
viewer shows them and where the EDL and FCP XML adapters write them out
(EDL ``LOC`` comments, FCP ``<marker>`` elements). A removed clip is marked
on the clip that now stands where it was (else on the one before that
place, else on its track); a removed track is marked on the timeline's top
stack. The colour encodes the kind, the name and comment say the change,
and the metadata holds the change's payload under ``"tesmo"``.
"""

from __future__ import annotations

import copy
import json
from typing import Any, Dict, List, Optional, Tuple

from . import otio_json
from .changes import describe
from .otio_json import Json, media, media_reference, schema, text, track_kind, tracks

MARKER_COLOURS = {
    "trimmed": "YELLOW",
    "moved": "CYAN",
    "added": "GREEN",
    "removed": "RED",
    "replaced": "MAGENTA",
    "effects_changed": "PURPLE",
    "transition_added": "BLUE",
    "transition_removed": "ORANGE",
    "track_added": "PINK",
    "track_removed": "BLACK",
}


def _clips(track: Json) -> List[Json]:
    children = track.get("children")
    return [child for child in children if schema(child) == "Clip"] \
        if isinstance(children, list) else []


def _media(clip: Json) -> Optional[str]:
    return media(media_reference(clip))


def pair_tracks(before: Any, after: Any) -> List[Tuple[Json, Json, str]]:
    """(before track, after track, display name) of each pair of tracks the
    diff compares; the display name is the after name, else the before name."""
    olds, news = tracks(before), tracks(after)
    return [(olds[b], news[a], text(news[a].get("name")) or text(olds[b].get("name")))
            for b, a in otio_json.pair_tracks(olds, news, _kind_and_name)]


def _kind_and_name(track: Json) -> Tuple[str, str]:
    return track_kind(track), text(track.get("name"))


def _same(clip: Json, ref: Optional[Json]) -> bool:
    return (ref is not None and text(clip.get("name")) == (ref.get("name") or "")
            and _media(clip) == ref.get("media_reference"))


def _rational(value: float, rate: float) -> Json:
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": float(rate), "value": float(value)}


def _range_of(clip: Json, at_end: bool = False) -> Json:
    """A marked range on the clip: all of it, or its last frame."""
    source = clip.get("source_range")
    start: Tuple[float, float] = (0.0, 24.0)
    duration: Tuple[float, float] = (1.0, 24.0)
    if isinstance(source, dict):
        try:
            start = (float(source["start_time"]["value"]),
                     float(source["start_time"].get("rate", 1.0)))
            duration = (float(source["duration"]["value"]),
                        float(source["duration"].get("rate", 1.0)))
        except (KeyError, TypeError, ValueError, AttributeError):
            pass
    if at_end:
        return {"OTIO_SCHEMA": "TimeRange.1",
                "start_time": _rational(start[0] + max(duration[0] - 1, 0), start[1]),
                "duration": _rational(1, duration[1])}
    return {"OTIO_SCHEMA": "TimeRange.1", "start_time": _rational(*start),
            "duration": _rational(*duration)}


def marker(change: Json, marked_range: Json) -> Json:
    op = str(change.get("op"))
    text = describe(change)
    return {
        "OTIO_SCHEMA": "Marker.2",
        "name": text if len(text) <= 80 else text[:77] + "...",
        "color": MARKER_COLOURS.get(op, "RED"),
        "comment": text,
        "marked_range": marked_range,
        "metadata": {"tesmo": change},
    }


def _add_marker(item: Json, new_marker: Json) -> None:
    markers = item.get("markers")
    if not isinstance(markers, list):
        markers = item["markers"] = []
    markers.append(new_marker)


class _Clips:
    """A track's clips, and the first clip of each name and media, so that
    finding the clip a change names costs the same on any length of track."""

    def __init__(self, track: Json) -> None:
        self.clips = _clips(track)
        self.first: Dict[Tuple[str, Optional[str]], Json] = {}
        for clip in self.clips:
            self.first.setdefault((text(clip.get("name")), _media(clip)), clip)

    def find(self, ref: Optional[Json], index: Optional[int] = None) -> Optional[Json]:
        """The clip a reference names; the one at index when that fits."""
        if ref is None:
            return None
        if index is not None and 0 <= index < len(self.clips) and _same(self.clips[index], ref):
            return self.clips[index]
        return self.first.get((ref.get("name") or "", ref.get("media_reference")))


class _Tracks:
    """_Clips of each track, made once per track."""

    def __init__(self) -> None:
        self.made: Dict[int, _Clips] = {}

    def __call__(self, track: Json) -> _Clips:
        found = self.made.get(id(track))
        if found is None:
            found = self.made[id(track)] = _Clips(track)
        return found


def _track_pair(pairs: List[Tuple[Json, Json, str]], name: str, ref: Optional[Json],
                clips_of: _Tracks) -> Optional[Tuple[Json, Json, str]]:
    candidates = [pair for pair in pairs if pair[2] == name]
    for pair in candidates:
        if ref is None or clips_of(pair[1]).find(ref) is not None:
            return pair
    return candidates[0] if candidates else None


def _zero_range() -> Json:
    return {"OTIO_SCHEMA": "TimeRange.1", "start_time": _rational(0, 24),
            "duration": _rational(0, 24)}


def _copy(document: Any) -> Any:
    """A copy to add markers to. Documents are JSON values, which a round
    trip through the json module copies several times faster than deepcopy."""
    try:
        return json.loads(json.dumps(document, allow_nan=True))
    except (TypeError, ValueError, RecursionError):
        return copy.deepcopy(document)


def annotate(before: Any, after: Any, changes: List[Json]) -> Any:
    """A copy of after with one marker per change."""
    result = _copy(after)
    pairs = pair_tracks(before, result)
    clips_of = _Tracks()
    for change in changes:
        op = change.get("op")
        if op in ("track_added", "track_removed"):
            if op == "track_added":
                track = next((t for t in tracks(result) if text(t.get("name")) == change.get("name")
                              and track_kind(t) == change.get("kind")
                              and all(t is not pair[1] for pair in pairs)), None)
                if track is not None:
                    _add_marker(track, marker(change, _zero_range()))
                    continue
            stack = result.get("tracks") if isinstance(result, dict) else None
            if isinstance(stack, dict):
                _add_marker(stack, marker(change, _zero_range()))
            continue
        track_name = str(change.get("track", change.get("from_track", "")))
        if op in ("transition_added", "transition_removed"):
            ref = change.get("between_before") or change.get("between_after")
        else:
            ref = change.get("clip")
        pair = _track_pair(pairs, track_name, None if op == "removed" else ref, clips_of)
        if pair is None:
            continue
        old_track, new_track, _ = pair
        clips = clips_of(new_track)
        if op == "removed":
            _mark_removed(change, clips_of(old_track).clips, clips, new_track)
            continue
        index = change.get("index") if op == "added" else change.get("to_index")
        clip = clips.find(ref, index if isinstance(index, int) else None)
        if clip is None and op == "transition_removed":
            clip = clips.find(change.get("between_after"))
        if clip is not None:
            at_end = op in ("transition_added", "transition_removed") and _same(clip, change.get("between_before"))
            _add_marker(clip, marker(change, _range_of(clip, at_end)))
        else:
            _add_marker(new_track, marker(change, _zero_range()))
    return result


def _mark_removed(change: Json, old_clips: List[Json], new_clips: _Clips, new_track: Json) -> None:
    """Mark a removed clip where it was: on the first later clip of the old
    track that is still there, else on the nearest earlier one, at its end."""
    index = change.get("index")
    position = index if isinstance(index, int) else 0
    for old in old_clips[position + 1:]:
        found = new_clips.find({"name": text(old.get("name")), "media_reference": _media(old)})
        if found is not None:
            _add_marker(found, marker(change, _range_of(found)))
            return
    for old in reversed(old_clips[:position]):
        found = new_clips.find({"name": text(old.get("name")), "media_reference": _media(old)})
        if found is not None:
            _add_marker(found, marker(change, _range_of(found, at_end=True)))
            return
    _add_marker(new_track, marker(change, _zero_range()))
