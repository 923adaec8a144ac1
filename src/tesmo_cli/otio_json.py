"""OTIO JSON documents (dicts and lists) read the way the tesmo module reads
them: top-level tracks only, a track's kind folded to video, audio or other,
a clip's media named by its active reference."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

Json = Dict[str, Any]
T = TypeVar("T")

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


def pair_tracks(before: Sequence[T], after: Sequence[T],
                kind_and_name: Callable[[T], Tuple[str, str]]) -> List[Tuple[int, int]]:
    """(before index, after index) of each pair of tracks the diff compares:
    greedy in the after order, same kind, an equal name preferred."""
    olds = [kind_and_name(track) for track in before]
    taken = [False] * len(olds)
    pairs = []
    for a, track in enumerate(after):
        kind, name = kind_and_name(track)
        found = None
        if name:
            found = next((b for b, old in enumerate(olds)
                          if not taken[b] and old == (kind, name)), None)
        if found is None:
            found = next((b for b, old in enumerate(olds)
                          if not taken[b] and old[0] == kind), None)
        if found is not None:
            taken[found] = True
            pairs.append((found, a))
    return pairs
