"""OTIO JSON documents (dicts and lists) read the way the tesmo module reads
them: top-level tracks only, a track's kind folded to video, audio or other
and labelled as editors do (V1, A2), a clip's media named by its active
reference."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

Json = Dict[str, Any]

_ASCII_LOWER = {code: code + 32 for code in range(ord("A"), ord("Z") + 1)}


def schema(value: Any) -> str:
    """The schema name without its version ("Clip" of "Clip.2"), or ""."""
    name = value.get("OTIO_SCHEMA") if isinstance(value, dict) else None
    return name.split(".", 1)[0] if isinstance(name, str) else ""


def text(value: Any) -> str:
    return value if isinstance(value, str) else ""


def tracks(document: Any) -> List[Json]:
    """The top-level tracks of a timeline."""
    stack = document.get("tracks") if isinstance(document, dict) else None
    children = stack.get("children") if isinstance(stack, dict) else None
    return [child for child in children if schema(child) == "Track"] \
        if isinstance(children, list) else []


def track_kind(track: Json) -> str:
    """video, audio or other; only ASCII capitals fold ("VIDEO" is video, a
    dotted capital I is not an i)."""
    kind = text(track.get("kind")).translate(_ASCII_LOWER)
    return kind if kind in ("video", "audio") else "other"


_LETTERS = {"video": "V", "audio": "A", "other": "O"}


def labelled_tracks(document: Any) -> Dict[str, Json]:
    """The top-level tracks by the label change records give them: V for
    video, A for audio, O for any other kind, then the track's 1-based
    index among the timeline's tracks of that kind."""
    counts = {"video": 0, "audio": 0, "other": 0}
    labelled: Dict[str, Json] = {}
    for track in tracks(document):
        kind = track_kind(track)
        counts[kind] += 1
        labelled[f"{_LETTERS[kind]}{counts[kind]}"] = track
    return labelled


def clips(track: Json) -> List[Json]:
    """A track's direct clips, the items a record's position counts: no
    gaps, transitions or nested stacks."""
    children = track.get("children")
    return [child for child in children if schema(child) == "Clip"] \
        if isinstance(children, list) else []


def media_reference(clip: Json) -> Any:
    """The clip's active reference: the single media_reference of older
    documents, or the entry of media_references its key names."""
    if "media_reference" in clip:
        return clip["media_reference"]
    references = clip.get("media_references")
    if isinstance(references, dict):
        key = clip.get("active_media_reference_key")
        return references.get(key if isinstance(key, str) else "DEFAULT_MEDIA")
    return None


def media(reference: Any) -> Optional[str]:
    """A reference's identity, as a change record's clip reference gives it."""
    if not isinstance(reference, dict):
        return None
    url = reference.get("target_url")
    if isinstance(url, str) and url:
        return url
    name = reference.get("name")
    if isinstance(name, str) and name:
        return "ref-by-name:" + name
    return None
