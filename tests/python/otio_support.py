"""Timelines as OTIO JSON dicts, built by hand for tests that run without
OpenTimelineIO, and the diff's payloads as the module returns them.

Payloads are written out in full, keys in ascending order, counts as ints and
times as floats; `check` compares their repr too, so key order, int versus
float and None all count.
"""

import collections.abc

import pytest

import tesmo

# --- documents -------------------------------------------------------------


def rt(value, rate=24):
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": rate, "value": value}


def rng(start, duration, rate=24):
    return {"OTIO_SCHEMA": "TimeRange.1", "duration": rt(duration, rate),
            "start_time": rt(start, rate)}


def clip(name, url=None, start=0, duration=48, rate=24, effects=0, source_range=..., **extra):
    """An old-form clip: "media_reference" holds an ExternalReference, or null."""
    value = {
        "OTIO_SCHEMA": "Clip.1",
        "name": name,
        "source_range": rng(start, duration, rate) if source_range is ... else source_range,
        "effects": [{"OTIO_SCHEMA": "Effect.1", "name": f"fx{i}"} for i in range(effects)],
        "media_reference": None if url is None else external(url),
    }
    value.update(extra)
    return value


def clip2(name, references, active="DEFAULT_MEDIA", start=0, duration=48):
    """A current-form clip: "media_references" plus "active_media_reference_key"."""
    value = clip(name, start=start, duration=duration, OTIO_SCHEMA="Clip.2",
                 media_references=references, active_media_reference_key=active)
    del value["media_reference"]
    return value


def external(url):
    return {"OTIO_SCHEMA": "ExternalReference.1", "name": "", "target_url": url}


def transition(name="T", in_offset=rt(5), out_offset=rt(7)):
    value = {"OTIO_SCHEMA": "Transition.1", "name": name}
    if in_offset is not None:
        value["in_offset"] = in_offset
    if out_offset is not None:
        value["out_offset"] = out_offset
    return value


GAP = {"OTIO_SCHEMA": "Gap.1", "source_range": rng(0, 10)}


def track(name, *children, kind="Video"):
    return {"OTIO_SCHEMA": "Track.1", "name": name, "kind": kind, "children": list(children)}


def timeline(*tracks, schema="Timeline.1", name="cut"):
    return {"OTIO_SCHEMA": schema, "name": name,
            "tracks": {"OTIO_SCHEMA": "Stack.1", "name": "tracks", "children": list(tracks)}}


def v1(*children):
    return timeline(track("V1", *children))


def clip_timeline(clips):
    """A timeline of the usual shape, some 90 bytes of canonical text a clip."""
    return {"OTIO_SCHEMA": "Timeline.1", "name": "rules", "tracks": {
        "OTIO_SCHEMA": "Stack.1", "children": [{
            "OTIO_SCHEMA": "Track.1", "name": "V1", "kind": "Video", "children": [
                {"OTIO_SCHEMA": "Clip.1", "name": f"shot_{i}",
                 "source_range": {"duration": {"rate": 24.0, "value": float(i % 97 + 12)},
                                  "start_time": {"rate": 24.0, "value": float(i * 7 % 9000)}},
                 "media_reference": {"target_url": f"file:///media/reel_{i % 311}.mov"}}
                for i in range(clips)]}]}}


class Pairs(collections.abc.Mapping):
    """A mapping that may repeat a key: keys() and values() give the pairs."""

    def __init__(self, pairs):
        self._pairs = pairs

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(k for k, _ in self._pairs)

    def __len__(self):
        return len(self._pairs)

    def keys(self):
        return [k for k, _ in self._pairs]

    def values(self):
        return [v for _, v in self._pairs]


# --- payloads --------------------------------------------------------------


def ref(name, media=None):
    return {"media_reference": media, "name": name}


def time(value, rate=24.0):
    return {"rate": rate, "value": value}


def span(start, duration, rate=24.0):
    return {"duration": time(duration, rate), "start_time": time(start, rate)}


def moved(clip_ref, from_index, to_index, after=None, before=None, track="V1"):
    return {"after_neighbor": after, "before_neighbor": before, "clip": clip_ref,
            "from_index": from_index, "from_track": track, "op": "moved",
            "to_index": to_index, "to_track": track}


def placed(op, clip_ref, index, track="V1"):
    return {"clip": clip_ref, "index": index, "op": op, "track": track}


def replaced(clip_ref, before_media, after_media, track="V1"):
    return {"after_media": after_media, "before_media": before_media, "clip": clip_ref,
            "op": "replaced", "track": track}


def trimmed(clip_ref, before, after, track="V1"):
    return {"after": after, "before": before, "clip": clip_ref, "op": "trimmed", "track": track}


def payloads(before, after):
    return [change.to_dict() for change in tesmo.diff(before, after)]


def check(actual, expected):
    assert actual == expected
    assert repr(actual) == repr(expected)


def tesmo_error(call):
    """The args of the TesmoError that call() raises."""
    with pytest.raises(tesmo.TesmoError) as excinfo:
        call()
    return excinfo.value.args
