"""Edits of known kinds on the sample files of OpenTimelineIO and its adapters,
and the check of the change records the comparison engine gives for them.

The samples come from scripts/fetch_corpus.py. Each is read with its
adapter and turned into an OTIO JSON dict; an edit is applied to a deep copy
of that dict, and the record it must give is worked out from the objects
themselves: every clip, transition and track of the copy is located (track
label, position among the track's direct clips) before and after the edit, by
object identity, so several edits on one track, a removal shifting the clips
after it or a track inserted before others all get their positions without a
hand-written count.

An edit is exactly right when one record answers it with the right op, track
labels, positions and op members; a record that answers no edit is spurious.
Used by tests/python/test_accuracy.py and scripts/accuracy.py.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import json
import logging
import math
import random
import sys
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

ROOT = Path(__file__).resolve().parents[2]

Json = Dict[str, Any]

# The edits, by the op of the record each must give. A name after a colon is
# a variant of the same op.
OPS: List[str] = [
    "added", "removed", "moved", "moved:across", "trimmed:head", "trimmed:tail", "slipped",
    "replaced", "effects_changed", "renamed", "retimed", "enabled_changed", "markers_changed",
    "metadata_changed:new_key", "metadata_changed:nested", "transition_added",
    "transition_removed", "transition_changed", "track_added:last", "track_added:first",
    "track_removed", "track_renamed",
]

# Adapter name and file suffix of each source format, for re-exports.
WRITERS: Dict[str, Tuple[str, str]] = {
    "otio": ("otio_json", ".otio"), "edl": ("cmx_3600", ".edl"), "fcp_xml": ("fcp_xml", ".xml"),
    "fcpx_xml": ("fcpx_xml", ".fcpxml"), "aaf": ("AAF", ".aaf"), "ale": ("ale", ".ale"),
}


def load_fetcher() -> ModuleType:
    """scripts/fetch_corpus.py as a module."""
    path = ROOT / "scripts" / "fetch_corpus.py"
    module = sys.modules.get("fetch_corpus")
    if module is None:
        module = ModuleType("fetch_corpus")
        module.__file__ = str(path)
        exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
        sys.modules["fetch_corpus"] = module
    return module


# --------------------------------------------------------------------------
# Reading the samples.

@dataclass
class Sample:
    """One timeline of a sample file, as an OTIO JSON dict."""
    name: str  # "<package>/<file>", with "#<n>" for the n-th timeline of a file
    format: str
    path: Path
    timeline: Json
    built: bool = False  # a sequence cut from a bin of clips (ALE, FCPX clip lists)


@dataclass
class Corpus:
    samples: List[Sample]
    unreadable: List[Tuple[str, str]]  # (sample, why)


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Adapters log and print as they read; none of it is ours to show."""
    root = logging.getLogger()
    level = root.level
    root.setLevel(logging.CRITICAL)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        root.setLevel(level)


def to_dict(otio_object: Any) -> Json:
    import opentimelineio as otio

    value = json.loads(otio.adapters.write_to_string(otio_object, "otio_json"))
    assert isinstance(value, dict)
    return value


def read_any(path: Path) -> Any:
    """The file read by its adapter; EDLs that only parse at 25 fps read so."""
    import opentimelineio as otio

    with quiet():
        try:
            return otio.adapters.read_from_file(str(path))
        except ValueError as e:
            if path.suffix.lower() == ".edl" and "rate mismatch" in str(e).lower():
                return otio.adapters.read_from_file(str(path), rate=25)
            raise


def timelines_of(obj: Any) -> Tuple[List[Any], bool]:
    """The timelines a file holds; a bin of clips with none is cut into one
    video track in its order (built=True)."""
    import opentimelineio as otio

    if isinstance(obj, otio.schema.Timeline):
        return [obj], False
    found = list(obj.find_children(descended_from_type=otio.schema.Timeline))
    if found:
        return found, False
    clips = [c for c in obj if isinstance(c, otio.schema.Clip)]
    if not clips:
        return [], False
    track = otio.schema.Track(name="", kind=otio.schema.TrackKind.Video)
    for c in clips:
        track.append(c.deepcopy())
    timeline = otio.schema.Timeline(name=obj.name or "bin")
    timeline.tracks.append(track)
    return [timeline], True


def load_corpus(dest: Path) -> Corpus:
    """Every readable timeline with at least one clip, exact duplicates (the
    same timeline in several files) kept once."""
    fetcher = load_fetcher()
    samples, unreadable, seen = [], [], set()
    for entry in fetcher.samples(dest):
        path = dest / entry["path"]
        try:
            tls, built = timelines_of(read_any(path))
        except Exception as e:  # any adapter failure: the sample is listed as unreadable
            unreadable.append((entry["path"], f"{type(e).__name__}: {' '.join(str(e).split())[:80]}"))
            continue
        for n, tl in enumerate(tls):
            name = entry["path"] + (f"#{n}" if len(tls) > 1 else "")
            value = to_dict(tl)
            digest = hashlib.sha256(json.dumps(value, sort_keys=True).encode()).hexdigest()
            if not any(clips_of(t) for t in tracks_of(value)):
                unreadable.append((name, "no clip on any track"))
            elif digest in seen:
                unreadable.append((name, "the same timeline as an earlier sample"))
            else:
                seen.add(digest)
                samples.append(Sample(name, entry["format"], path, value, built))
    return Corpus(samples, unreadable)


# --------------------------------------------------------------------------
# The OTIO JSON dict, as the engine sees it.

def schema(item: Json) -> str:
    return str(item.get("OTIO_SCHEMA", "")).split(".")[0]


def tracks_of(timeline: Json) -> List[Json]:
    return [t for t in timeline["tracks"]["children"] if schema(t) == "Track"]


def clips_of(track: Json) -> List[Json]:
    return [c for c in track.get("children", []) if schema(c) == "Clip"]


def kind_letter(track: Json) -> str:
    kind = track.get("kind")
    folded = kind.translate(ASCII_LOWER) if isinstance(kind, str) else ""
    return {"video": "V", "audio": "A"}.get(folded, "O")


ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def labels(timeline: Json) -> List[Tuple[str, Json]]:
    counts: Dict[str, int] = {}
    out = []
    for t in tracks_of(timeline):
        letter = kind_letter(t)
        counts[letter] = counts.get(letter, 0) + 1
        out.append((f"{letter}{counts[letter]}", t))
    return out


# Where an object is: its track's label, its position (None for tracks) and
# the id() of its track.
Place = Tuple[str, Optional[int], int]


def locate(timeline: Json) -> Dict[int, Place]:
    """id() of every track, direct clip and transition -> where it is."""
    where: Dict[int, Place] = {}
    for label, track in labels(timeline):
        where[id(track)] = (label, None, id(track))
        clips = 0
        for item in track.get("children", []):
            if schema(item) == "Clip":
                where[id(item)] = (label, clips, id(track))
                clips += 1
            elif schema(item) == "Transition":
                where[id(item)] = (label, clips, id(track))
    return where


def active_reference(item: Json) -> Optional[Json]:
    if "media_references" in item:
        refs = item.get("media_references") or {}
        ref = refs.get(item.get("active_media_reference_key", "DEFAULT_MEDIA"))
    else:
        ref = item.get("media_reference")
    return ref if isinstance(ref, dict) else None


def media(item: Json) -> Optional[str]:
    """The clip's media as records name it: the active reference's URL, else
    its name after "ref-by-name:"."""
    ref = active_reference(item)
    if ref is None:
        return None
    url, name = ref.get("target_url"), ref.get("name")
    if isinstance(url, str) and url:
        return url
    if isinstance(name, str) and name:
        return "ref-by-name:" + name
    return None


def url(item: Json) -> Optional[str]:
    ref = active_reference(item)
    value = ref.get("target_url") if ref is not None else None
    return value if isinstance(value, str) and value else None


def source_range(item: Json) -> Optional[Json]:
    value = item.get("source_range")
    if isinstance(value, dict) and value.get("duration", {}).get("value", 0) > 0:
        return value
    return None


def clone(value: Json) -> Json:
    """A deep copy of a JSON dict (a round trip through the C encoder, many
    times faster than copy.deepcopy)."""
    out = json.loads(json.dumps(value))
    assert isinstance(out, dict)
    return out


def rtime(value: float, rate: float) -> Json:
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": rate, "value": value}


def clip_key(item: Json) -> str:
    return json.dumps([item.get("name"), media(item), item.get("source_range")], sort_keys=True)


# --------------------------------------------------------------------------
# Edits.

@dataclass
class Expect:
    """The record one edit must give; `obj` is the edited clip, transition or
    track of the after timeline (or of the before one when it is gone)."""
    op: str
    obj: Json
    gone: bool = False  # removed from the after timeline
    new: bool = False  # only in the after timeline
    details: Json = field(default_factory=dict)
    record: Json = field(default_factory=dict)  # filled in by Case.finish


@dataclass
class Case:
    id: str
    sample: str
    format: str
    group: str  # the op, or "several" for several edits on one track
    description: str
    before: Json
    after: Json
    expects: List[Expect]
    tags: List[str] = field(default_factory=list)


class NoCandidate(Exception):
    """The timeline holds nothing this edit can be made on."""


class Editor:
    """Makes edits on a deep copy of a timeline and works out their records."""

    def __init__(self, sample: Sample, seed: str) -> None:
        self.sample = sample
        self.before = sample.timeline
        self.after: Json = clone(sample.timeline)
        self.start = locate(self.after)
        self.keep: List[Json] = []  # objects taken out, so that no id() is reused
        self.rng = random.Random(seed)
        self.used: Set[int] = set()  # clips already edited in this case
        self.expects: List[Expect] = []
        self.tags: List[str] = []
        self.only: Optional[Json] = None  # the one track edits go to, when set
        self.keys: Optional[Counter[str]] = None  # clip_key counts of the before timeline
        self.names: Optional[Counter[Any]] = None  # clip name counts

    # -- choosing --------------------------------------------------------
    def tracks(self, kind: Optional[str] = None) -> List[Json]:
        return [t for t in tracks_of(self.after) if (kind is None or kind_letter(t) == kind)
                and (self.only is None or t is self.only)]

    def clip_slots(self, track: Json, want: Callable[[Json], bool]) -> List[int]:
        """Child indexes of the track's clips that pass `want` and are not yet edited."""
        kids = track.get("children", [])
        return [i for i, c in enumerate(kids)
                if schema(c) == "Clip" and id(c) not in self.used and want(c)]

    def pick_clip(self, want: Callable[[Json], bool] = lambda c: True,
                  tracks: Optional[List[Json]] = None, free: bool = False) -> Tuple[Json, int]:
        """A (track, child index) of a clip passing `want`; with `free`, one
        with no transition beside it, so taking it out leaves the cuts around
        it as they were."""
        choices = []
        for t in tracks if tracks is not None else self.tracks():
            for i in self.clip_slots(t, want):
                if not free or not self.beside_transition(t, i):
                    choices.append((t, i))
        if not choices:
            raise NoCandidate()
        track, i = self.rng.choice(choices)
        self.used.add(id(track["children"][i]))
        return track, i

    def track_of(self, item: Json) -> Json:
        return next(t for t in tracks_of(self.after)
                    if any(c is item for c in t.get("children", [])))

    @staticmethod
    def beside_transition(track: Json, i: int) -> bool:
        kids = track["children"]
        return any(0 <= j < len(kids) and schema(kids[j]) == "Transition" for j in (i - 1, i + 1))

    @staticmethod
    def free_slots(track: Json) -> List[int]:
        """Child indexes where an item can go in without landing next to a transition."""
        kids = track.get("children", [])
        return [p for p in range(len(kids) + 1)
                if not (p > 0 and schema(kids[p - 1]) == "Transition")
                and not (p < len(kids) and schema(kids[p]) == "Transition")]

    def unique(self, item: Json) -> bool:
        """No other clip of the timeline has the same name, media and source range."""
        if self.keys is None:
            self.keys = Counter(clip_key(c) for t in tracks_of(self.before) for c in clips_of(t))
        return self.keys[clip_key(item)] == 1

    def expect(self, op: str, obj: Json, **details: Any) -> Expect:
        e = Expect(op, obj, details=details)
        self.expects.append(e)
        return e

    def tag_clip(self, track: Json, item: Json) -> None:
        if self.names is None:
            self.names = Counter(c.get("name") for t in tracks_of(self.before) for c in clips_of(t))
        if schema(item) == "Clip" and self.names[item.get("name")] > 1:
            self.tags.append("repeated name")
        if not track.get("name"):
            self.tags.append("unnamed track")

    def new_clip(self, track: Json, n: int) -> Json:
        """A clip of new media, shaped like the track's clips."""
        rate = 24.0
        for c in clips_of(track):
            sr = source_range(c)
            if sr is not None:
                rate = float(sr["duration"]["rate"])
                break
        duration = rate * 2 if rate > 1000 else 48.0  # audio at sample rate: two seconds
        name = f"pickup_{n:02d}"
        return {"OTIO_SCHEMA": "Clip.2", "name": name, "metadata": {}, "effects": [],
                "markers": [], "enabled": True,
                "source_range": {"OTIO_SCHEMA": "TimeRange.1", "start_time": rtime(0.0, rate),
                                 "duration": rtime(duration, rate)},
                "media_references": {"DEFAULT_MEDIA": {
                    "OTIO_SCHEMA": "ExternalReference.1", "name": "", "metadata": {},
                    "available_range": None, "available_image_bounds": None,
                    "target_url": f"file:///pickups/{name}.mov"}},
                "active_media_reference_key": "DEFAULT_MEDIA"}

    def step(self, item: Json) -> float:
        """A quarter of the clip's length, in its own units, at least one."""
        sr = source_range(item)
        assert sr is not None
        return float(max(1, int(sr["duration"]["value"] // 4)))

    # -- one function per op -------------------------------------------
    def added(self) -> None:
        tracks = [t for t in self.tracks() if self.free_slots(t)]
        if not tracks:
            raise NoCandidate()
        track = self.rng.choice(tracks)
        item = self.new_clip(track, len(self.expects) + 1)
        track["children"].insert(self.rng.choice(self.free_slots(track)), item)
        self.used.add(id(item))
        self.tag_clip(track, item)
        self.expect("added", item).new = True

    def removed(self) -> None:
        """Not one of a run of identical clips side by side: which of them
        went is not in the data."""
        def alone(c: Json) -> bool:
            kids = self.track_of(c)["children"]
            i = next(k for k, x in enumerate(kids) if x is c)
            return all(not (0 <= j < len(kids)) or kids[j] != c for j in (i - 1, i + 1))

        track, i = self.pick_clip(alone, free=True)
        item = track["children"].pop(i)
        self.keep.append(item)
        self.tag_clip(track, item)
        self.expect("removed", item).gone = True

    def moved(self) -> None:
        """Within a track, at least two clips away, so that no other clip
        can be the one that moved."""
        tracks = [t for t in self.tracks() if len(clips_of(t)) >= 3]
        track, i = self.pick_clip(self.unique, tracks, free=True)
        item = track["children"].pop(i)
        old = sum(schema(c) == "Clip" for c in track["children"][:i])
        slots = [p for p in self.free_slots(track)
                 if abs(sum(schema(c) == "Clip" for c in track["children"][:p]) - old) >= 2]
        if not slots:
            track["children"].insert(i, item)
            raise NoCandidate()
        track["children"].insert(self.rng.choice(slots), item)
        self.tag_clip(track, item)
        self.expect("moved", item)

    def moved_across(self) -> None:
        kinds = [k for k in ("V", "A") if len(self.tracks(k)) >= 2]
        if not kinds:
            raise NoCandidate()
        kind = self.rng.choice(kinds)
        track, i = self.pick_clip(self.unique, self.tracks(kind), free=True)
        item = track["children"].pop(i)
        target = self.rng.choice([t for t in self.tracks(kind) if t is not track])
        target["children"].insert(self.rng.choice(self.free_slots(target)), item)
        self.tag_clip(track, item)
        self.expect("moved", item)

    def trimmed_head(self) -> None:
        track, i = self.pick_clip(lambda c: source_range(c) is not None)
        item = track["children"][i]
        k, sr = self.step(item), item["source_range"]
        sr["start_time"]["value"] += k * sr["start_time"]["rate"] / sr["duration"]["rate"]
        sr["duration"]["value"] -= k
        self.tag_clip(track, item)
        self.expect("trimmed", item, head=-k, tail=0)

    def trimmed_tail(self) -> None:
        track, i = self.pick_clip(lambda c: source_range(c) is not None)
        item = track["children"][i]
        k = self.step(item)
        item["source_range"]["duration"]["value"] += k
        self.tag_clip(track, item)
        self.expect("trimmed", item, head=0, tail=k)

    def slipped(self) -> None:
        track, i = self.pick_clip(lambda c: source_range(c) is not None)
        item = track["children"][i]
        k, sr = self.step(item), item["source_range"]
        sr["start_time"]["value"] += k * sr["start_time"]["rate"] / sr["duration"]["rate"]
        self.tag_clip(track, item)
        self.expect("slipped", item, offset=k)

    def replaced(self) -> None:
        track, i = self.pick_clip(lambda c: url(c) is not None)
        item = track["children"][i]
        ref = active_reference(item)
        assert ref is not None
        old = ref["target_url"]
        stem, dot, ext = old.rpartition(".")
        ref["target_url"] = f"{stem}_v2.{ext}" if dot and "/" not in ext else old + "_v2"
        self.tag_clip(track, item)
        self.expect("replaced", item, before_media=old, after_media=ref["target_url"])

    def effects_changed(self) -> None:
        track, i = self.pick_clip()
        item = track["children"][i]
        item.setdefault("effects", []).append(
            {"OTIO_SCHEMA": "Effect.1", "name": "Blur", "effect_name": "GaussianBlur",
             "metadata": {}})
        self.tag_clip(track, item)
        self.expect("effects_changed", item)

    def renamed(self) -> None:
        track, i = self.pick_clip()
        item = track["children"][i]
        old = item.get("name", "")
        item["name"] = f"{old} (alt)" if old else "alt take"
        self.tag_clip(track, item)
        self.expect("renamed", item, before_name=old, after_name=item["name"])

    def retimed(self) -> None:
        """A clip that has a speed change gets another; else one gets 200%."""
        def warps(c: Json) -> List[Json]:
            return [e for e in c.get("effects", []) if schema(e) == "LinearTimeWarp"]

        def frozen(c: Json) -> bool:
            return any(schema(e) == "FreezeFrame" for e in c.get("effects", []))

        try:
            track, i = self.pick_clip(lambda c: len(warps(c)) == 1 and not frozen(c))
        except NoCandidate:
            track, i = self.pick_clip(lambda c: not warps(c) and not frozen(c))
        item = track["children"][i]
        found = warps(item)
        if found:
            before = float(found[0].get("time_scalar", 1.0))
            after = 0.5 if before == 2.0 else 2.0
            found[0]["time_scalar"] = after
        else:
            before, after = 1.0, 2.0
            item.setdefault("effects", []).append(
                {"OTIO_SCHEMA": "LinearTimeWarp.1", "name": "speed", "effect_name": "LinearTimeWarp",
                 "metadata": {}, "time_scalar": after})
        self.tag_clip(track, item)
        self.expect("retimed", item, before_speed=before, after_speed=after)

    def enabled_changed(self) -> None:
        track, i = self.pick_clip()
        item = track["children"][i]
        old = bool(item.get("enabled", True))
        item["enabled"] = not old
        self.tag_clip(track, item)
        self.expect("enabled_changed", item, before_enabled=old, after_enabled=not old)

    def markers_changed(self) -> None:
        track, i = self.pick_clip(lambda c: source_range(c) is not None)
        item = track["children"][i]
        start = item["source_range"]["start_time"]
        item.setdefault("markers", []).append(
            {"OTIO_SCHEMA": "Marker.2", "name": "check sync", "metadata": {}, "color": "RED",
             "comment": "", "marked_range": {"OTIO_SCHEMA": "TimeRange.1",
                                             "start_time": dict(start),
                                             "duration": rtime(0.0, start["rate"])}})
        self.tag_clip(track, item)
        self.expect("markers_changed", item, added=["check sync"], removed=[])

    def metadata_new_key(self) -> None:
        track, i = self.pick_clip()
        item = track["children"][i]
        item.setdefault("metadata", {})["review"] = {"status": "approved"}
        self.tag_clip(track, item)
        self.expect("metadata_changed", item, keys=["review"])

    def metadata_nested(self) -> None:
        """A value deep inside an adapter's own metadata changes."""
        def keys(c: Json) -> List[str]:
            return [k for k, v in (c.get("metadata") or {}).items() if isinstance(v, dict) and k]

        track, i = self.pick_clip(lambda c: bool(keys(c)))
        item = track["children"][i]
        key = sorted(keys(item))[0]
        item["metadata"][key]["review_note"] = "check the grade"
        self.tag_clip(track, item)
        self.expect("metadata_changed", item, keys=[key])

    def transition_added(self) -> None:
        cuts = []
        for t in self.tracks():
            kids = t.get("children", [])
            for p in range(1, len(kids)):
                if schema(kids[p - 1]) == "Clip" and schema(kids[p]) == "Clip" \
                        and source_range(kids[p - 1]) and source_range(kids[p]) \
                        and id(kids[p - 1]) not in self.used and id(kids[p]) not in self.used:
                    cuts.append((t, p))
        if not cuts:
            raise NoCandidate()
        track, p = self.rng.choice(cuts)
        kids = track["children"]
        self.used.update({id(kids[p - 1]), id(kids[p])})
        rate = float(kids[p]["source_range"]["duration"]["rate"])
        half = min(12.0 * max(1.0, rate / 24 if rate > 1000 else 1.0),
                   kids[p - 1]["source_range"]["duration"]["value"] // 2,
                   kids[p]["source_range"]["duration"]["value"] // 2)
        item = {"OTIO_SCHEMA": "Transition.1", "name": "Cross Dissolve", "metadata": {},
                "transition_type": "SMPTE_Dissolve", "in_offset": rtime(half, rate),
                "out_offset": rtime(half, rate)}
        kids.insert(p, item)
        self.tag_clip(track, item)
        self.expect("transition_added", item).new = True

    def pick_transition(self) -> Tuple[Json, int]:
        found = [(t, i) for t in self.tracks() for i, c in enumerate(t.get("children", []))
                 if schema(c) == "Transition"]
        if not found:
            raise NoCandidate()
        return self.rng.choice(found)

    def transition_removed(self) -> None:
        track, i = self.pick_transition()
        item = track["children"].pop(i)
        self.keep.append(item)
        self.tag_clip(track, item)
        self.expect("transition_removed", item).gone = True

    def transition_changed(self) -> None:
        track, i = self.pick_transition()
        item = track["children"][i]
        for key in ("in_offset", "out_offset"):
            value = item.get(key)
            if isinstance(value, dict):
                value["value"] += max(1.0, value["rate"] / 24 if value["rate"] > 1000 else 2.0)
            else:
                item[key] = rtime(2.0, 24.0)
        self.tag_clip(track, item)
        self.expect("transition_changed", item)

    def track_added(self, first: bool) -> None:
        existing = self.tracks()
        kind = existing[0].get("kind", "Video") if first and existing else "Video"
        track: Json = {"OTIO_SCHEMA": "Track.1", "name": "Pickups", "kind": kind, "metadata": {},
                 "source_range": None, "effects": [], "markers": [], "enabled": True,
                 "children": []}
        track["children"].append(self.new_clip(existing[0] if existing else track, 90))
        stack = self.after["tracks"]["children"]
        stack.insert(0 if first else len(stack), track)
        self.expect("track_added", track, before_name=None, after_name="Pickups").new = True

    def track_added_last(self) -> None:
        self.track_added(False)

    def track_added_first(self) -> None:
        self.track_added(True)

    def track_removed(self) -> None:
        """Among several of its kind the first goes, so the labels after it shift."""
        tracks = self.tracks()
        if len(tracks) < 2:
            raise NoCandidate()
        several = [t for t in tracks if len(self.tracks(kind_letter(t))) >= 2]
        track = several[0] if several else self.rng.choice(tracks)
        self.after["tracks"]["children"].remove(track)
        self.keep.append(track)
        if not track.get("name"):
            self.tags.append("unnamed track")
        self.expect("track_removed", track, before_name=track.get("name", ""),
                    after_name=None).gone = True

    def track_renamed(self) -> None:
        track = self.rng.choice(self.tracks())
        old = track.get("name", "")
        track["name"] = f"{old} (picture lock)" if old else "Dialogue"
        if not old:
            self.tags.append("unnamed track")
        self.expect("track_renamed", track, before_name=old, after_name=track["name"])

    # -- the case ------------------------------------------------------
    def finish(self, case_id: str, group: str, description: str) -> Case:
        end = locate(self.after)
        for e in self.expects:
            before = None if e.new else self.start[id(e.obj)]
            after = None if e.gone else end[id(e.obj)]
            # A clip only on one side still has its track on both, unless
            # the track itself is only on one side.
            before_track = before[0] if before else \
                self.start.get(after[2], (None,))[0] if after else None
            after_track = after[0] if after else \
                end.get(before[2], (None,))[0] if before else None
            record: Json = {"op": e.op, "track": after_track or before_track,
                            "before_track": before_track, "after_track": after_track,
                            "before_index": before[1] if before else None,
                            "after_index": after[1] if after else None}
            e.record = record
            e.details.setdefault("name", e.obj.get("name", ""))
            e.details.setdefault("media", media(e.obj) if schema(e.obj) == "Clip" else None)
        return Case(case_id, self.sample.name, self.sample.format, group, description,
                    self.before, self.after, self.expects, sorted(set(self.tags)))


EDITS: Dict[str, Callable[[Editor], None]] = {
    "added": Editor.added, "removed": Editor.removed, "moved": Editor.moved,
    "moved:across": Editor.moved_across, "trimmed:head": Editor.trimmed_head,
    "trimmed:tail": Editor.trimmed_tail, "slipped": Editor.slipped, "replaced": Editor.replaced,
    "effects_changed": Editor.effects_changed, "renamed": Editor.renamed,
    "retimed": Editor.retimed, "enabled_changed": Editor.enabled_changed,
    "markers_changed": Editor.markers_changed, "metadata_changed:new_key": Editor.metadata_new_key,
    "metadata_changed:nested": Editor.metadata_nested,
    "transition_added": Editor.transition_added, "transition_removed": Editor.transition_removed,
    "transition_changed": Editor.transition_changed,
    "track_added:last": Editor.track_added_last, "track_added:first": Editor.track_added_first,
    "track_removed": Editor.track_removed, "track_renamed": Editor.track_renamed,
}
assert list(EDITS) == OPS

# The edits made together on one track, on different clips.
SEVERAL = ["trimmed:tail", "renamed", "effects_changed", "removed", "slipped", "added",
           "markers_changed", "replaced", "enabled_changed"]
TRIES = 2  # cases per op and sample, on different picks


def cases_for(sample: Sample) -> List[Case]:
    out = []
    for op in OPS:
        seen = set()
        for attempt in range(TRIES):
            editor = Editor(sample, f"{sample.name}/{op}/{attempt}")
            try:
                EDITS[op](editor)
            except NoCandidate:
                break
            case = editor.finish(f"{sample.name}:{op}:{attempt}", op.split(":")[0], op)
            key = json.dumps([e.record for e in case.expects], sort_keys=True)
            if key not in seen:  # the second pick may land on the first one's clip
                seen.add(key)
                out.append(case)
    for attempt in range(TRIES):
        several = several_on_one_track(sample, attempt)
        if several is not None:
            out.append(several)
    return out


def several_on_one_track(sample: Sample, attempt: int) -> Optional[Case]:
    """Several edits on different clips of the track with the most clips."""
    editor = Editor(sample, f"{sample.name}/several/{attempt}")
    tracks = sorted(editor.tracks(), key=lambda t: -len(clips_of(t)))
    if not tracks or len(clips_of(tracks[0])) < 6:
        return None
    track = tracks[attempt] if attempt < len(tracks) and len(clips_of(tracks[attempt])) >= 6 \
        else tracks[0]
    done = []
    editor.only = track
    for op in editor.rng.sample(SEVERAL, min(len(SEVERAL), len(clips_of(track)) // 2 + 1)):
        try:
            EDITS[op](editor)
            done.append(op)
        except NoCandidate:
            pass
    if len(done) < 3:
        return None
    return editor.finish(f"{sample.name}:several:{attempt}", "several", ", ".join(done))


# --------------------------------------------------------------------------
# Checking.

DETAIL_KEYS = ("head", "tail", "offset", "before_media", "after_media", "before_name",
               "after_name", "before_speed", "after_speed", "before_enabled", "after_enabled",
               "keys", "added", "removed")


def frames(value: Any) -> Any:
    """A count the record gives as a number or as {"value", "rate"}."""
    if isinstance(value, dict) and "value" in value:
        return value["value"]
    return value


def matches(record: Json, want: Json) -> bool:
    return all(record.get(k) == v for k, v in want.items())


def detail_errors(record: Json, e: Expect) -> List[str]:
    errors = []
    for key, value in e.details.items():
        got = record.get(key)
        if key in ("head", "tail", "offset"):
            got = frames(got)
            ok = isinstance(got, (int, float)) and abs(float(got) - float(value)) < 1e-6
        elif key in ("added", "removed") and e.op == "markers_changed":
            ok = got == value
        else:
            ok = got == value
        if not ok:
            errors.append(f"{key}={got!r}, expected {value!r}")
    return errors


@dataclass
class Outcome:
    case: Case
    records: List[Json]
    right: List[bool]  # per expected edit
    paired: List[bool]  # per expected edit: one record answers it, right or not in its members
    problems: List[str]  # per edit not right, and per spurious record
    spurious: List[Json]


def removal_gives_after(case: Case, record: Json) -> bool:
    """Whether removing what `record` names from the before timeline gives
    the after timeline: then a removal of an identical neighbour (a copy of
    the clip or track, which no comparison can tell from it) is an answer as
    right as the one the edit made."""
    before = clone(case.before)
    found = dict(labels(before)).get(record.get("before_track") or "")
    if found is None:
        return False
    if record["op"] == "track_removed":
        before["tracks"]["children"] = [t for t in before["tracks"]["children"] if t is not found]
    elif record["op"] == "removed":
        clips = clips_of(found)
        index = record.get("before_index")
        if not isinstance(index, int) or not 0 <= index < len(clips):
            return False
        found["children"] = [c for c in found["children"] if c is not clips[index]]
    else:
        return False
    return bool(before == case.after)


def check(case: Case, records: List[Json]) -> Outcome:
    """Pairs each expected edit with the records of its op, track labels and
    positions (or, for a lone removal, with one that removes an identical
    copy); an edit is right when exactly one record pairs with it and its
    members are right. Records paired with no edit are spurious."""
    taken = [False] * len(records)
    right, paired, problems = [], [], []
    for e in case.expects:
        found = [i for i, r in enumerate(records) if not taken[i] and matches(r, e.record)]
        if not found and len(case.expects) == 1:
            found = [i for i, r in enumerate(records)
                     if not taken[i] and r.get("op") == e.record["op"] and removal_gives_after(case, r)]
        for i in found:
            taken[i] = True
        paired.append(len(found) == 1)
        if len(found) != 1:
            right.append(False)
            problems.append(f"{e.record}: {len(found)} records")
            continue
        errors = detail_errors(records[found[0]], e)
        if records[found[0]].get("track") not in (e.record["before_track"],
                                                  e.record["after_track"]):
            errors.append("track is neither side's label")
        right.append(not errors)
        if errors:
            problems.append(f"{e.record}: " + "; ".join(errors))
    spurious = [r for i, r in enumerate(records) if not taken[i]]
    problems += [f"spurious {brief(r)}" for r in spurious]
    return Outcome(case, records, right, paired, problems, spurious)


def brief(record: Json) -> str:
    keys = ("op", "track", "before_track", "after_track", "before_index", "after_index", "name")
    return json.dumps({k: record.get(k) for k in keys if k in record}, ensure_ascii=False)


def run(cases: Sequence[Case], compare: Callable[[Json, Json], List[Json]]) -> List[Outcome]:
    return [check(c, compare(c.before, c.after)) for c in cases]


# --------------------------------------------------------------------------
# Re-exports: a sample written back through its own adapter and read again.

@dataclass
class Reexport:
    sample: str
    format: str
    before: Json
    after: Optional[Json]
    error: Optional[str] = None


def reexport(sample: Sample) -> Reexport:
    import opentimelineio as otio

    adapter, suffix = WRITERS[sample.format]
    with tempfile.TemporaryDirectory(prefix="tesmo-reexport-") as tmp:
        path = Path(tmp) / ("again" + suffix)
        try:
            timeline = otio.adapters.read_from_string(json.dumps(sample.timeline), "otio_json")
            with quiet():
                if sample.built:  # a bin: written back as its clips
                    collection = otio.schema.SerializableCollection(
                        children=[c.deepcopy() for c in timeline.find_clips()])
                    otio.adapters.write_to_file(collection, str(path), adapter)
                else:
                    otio.adapters.write_to_file(timeline, str(path), adapter)
            tls, _ = timelines_of(read_any(path))
            if len(tls) != 1:
                return Reexport(sample.name, sample.format, sample.timeline, None,
                                f"read back {len(tls)} timelines")
            return Reexport(sample.name, sample.format, sample.timeline, to_dict(tls[0]))
        except Exception as e:  # the adapter cannot write or read this one: listed, not judged
            why = " ".join(str(e).split())[:100]
            return Reexport(sample.name, sample.format, sample.timeline, None,
                            f"{type(e).__name__}: {why}")


SPEED = ("LinearTimeWarp", "FreezeFrame")


def speed(item: Json) -> float:
    """The clip's speed: the product of its linear time warps' scalars."""
    value = 1.0
    for e in item.get("effects") or []:
        if schema(e) in SPEED:
            value *= float(e.get("time_scalar", 1.0))
    return value


def seconds(t: Json) -> float:
    return float(t["value"]) / float(t["rate"])


def clip_changes(before: Json, after: Json, rate_tolerance: float) -> List[str]:
    """The ops that tell one clip from itself in another export, the clips
    being known to be the same one."""
    ops = []
    a, b = before.get("source_range"), after.get("source_range")
    if isinstance(a, dict) and isinstance(b, dict):
        length = abs(seconds(a["duration"]) - seconds(b["duration"]))
        start = abs(seconds(a["start_time"]) - seconds(b["start_time"]))
        if length > rate_tolerance:
            ops.append("trimmed")
        elif start > rate_tolerance:
            ops.append("slipped")
    elif a != b:
        ops.append("trimmed")
    if media(before) != media(after):
        ops.append("replaced")
    plain = [[e for e in c.get("effects") or [] if schema(e) not in SPEED] for c in (before, after)]
    if plain[0] != plain[1]:
        ops.append("effects_changed")
    if before.get("name", "") != after.get("name", ""):
        ops.append("renamed")
    if not math.isclose(speed(before), speed(after), rel_tol=1e-9, abs_tol=1e-12):
        ops.append("retimed")  # a speed written back through decimal text is the same speed
    if before.get("enabled", True) != after.get("enabled", True):
        ops.append("enabled_changed")
    if (before.get("markers") or []) != (after.get("markers") or []):
        ops.append("markers_changed")
    if comparable_metadata(before) != comparable_metadata(after):
        ops.append("metadata_changed")
    return ops


def comparable_metadata(item: Json) -> Json:
    """The clip's metadata less the element ids ("@id") that exchange
    formats number their elements with, which a writer renumbers."""
    return {key: {k: v for k, v in value.items() if k != "@id"} if isinstance(value, dict) else value
            for key, value in (item.get("metadata") or {}).items()}


def same_shape(before: Json, after: Json) -> bool:
    """The same tracks, of the same kinds, with as many clips and
    transitions in the same places: the clips of the two pair by position."""
    def shape(tl: Json) -> List[Tuple[str, List[str]]]:
        return [(kind_letter(t), [schema(c) for c in t.get("children", [])
                                  if schema(c) in ("Clip", "Transition")]) for t in tracks_of(tl)]
    return shape(before) == shape(after)


def positional_records(before: Json, after: Json, rate_tolerance: float = 1e-6) -> List[Json]:
    """For two timelines of the same shape, the records of each difference,
    clips paired by position: what a re-export must give."""
    out: List[Json] = []
    for (label, x), (_, y) in zip(labels(before), labels(after)):
        if x.get("name", "") != y.get("name", ""):
            out.append({"op": "track_renamed", "track": label, "before_track": label,
                        "after_track": label, "before_index": None, "after_index": None})
        for i, (c, d) in enumerate(zip(clips_of(x), clips_of(y))):
            for op in clip_changes(c, d, rate_tolerance):
                out.append({"op": op, "track": label, "before_track": label, "after_track": label,
                            "before_index": i, "after_index": i})
        cuts = [(locate_in(x, t), t) for t in x.get("children", []) if schema(t) == "Transition"]
        again = [t for t in y.get("children", []) if schema(t) == "Transition"]
        for (cut, t), u in zip(cuts, again):
            fields = ("name", "transition_type", "in_offset", "out_offset")
            if any(t.get(f) != u.get(f) for f in fields):
                out.append({"op": "transition_changed", "track": label, "before_track": label,
                            "after_track": label, "before_index": cut, "after_index": cut})
    return out


def locate_in(track: Json, item: Json) -> int:
    """Clips before `item` in the track."""
    n = 0
    for c in track.get("children", []):
        if c is item:
            return n
        n += schema(c) == "Clip"
    raise ValueError("not in the track")


def reexport_case(r: Reexport) -> Optional[Case]:
    """A re-export as a case whose edits are the differences the adapter
    made, when the clips pair by position; None when the shape changed."""
    if r.after is None or not same_shape(r.before, r.after):
        return None
    expects = []
    for record in positional_records(r.before, r.after):
        e = Expect(record["op"], {})
        e.record = record
        expects.append(e)
    return Case(f"{r.sample}:reexport", r.sample, r.format, "reexport", "written back and read",
                r.before, r.after, expects)
