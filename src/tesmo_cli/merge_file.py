"""`tesmo merge-file BASE OURS THEIRS`: the merge of three OTIO files, in
the contract of a git merge driver. The result replaces OURS; the exit
status is 0 for a clean merge and 1 when conflicts were met, in which case
OURS holds ours at each conflict and a marker on each conflicting clip.

Git runs it for the paths `.gitattributes` marks, once set up with

    git config merge.tesmo.driver "tesmo merge-file %O %A %B"
    echo '*.otio merge=tesmo' >> .gitattributes
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from typing import Any, Dict, List

from .errors import CliError
from .files import document_text
from .merging import merge_timelines
from .otio_json import clips, labelled_tracks


def _read(path: str) -> Any:
    """An OTIO JSON file. Git hands a driver temporary files without the
    suffix of the path they stand for, so the content decides."""
    try:
        with open(path, "rb") as stream:
            return json.loads(stream.read().decode("utf-8"))
    except OSError as error:
        raise CliError(f"{path}: {error.strerror or error}") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise CliError(f"{path}: not OpenTimelineIO JSON ({error})") from None


def _write_in_place(path: str, text: str) -> None:
    """Replaces the file through a temporary one in its directory, so that a
    failure leaves the old contents."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".tesmo-merge-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _mark_conflicts(document: Any, conflicts: List[Dict[str, Any]]) -> None:
    """A marker on each clip a conflict names in the merged document."""
    tracks = labelled_tracks(document)
    for conflict in conflicts:
        track = tracks.get(str(conflict.get("merged_track") or conflict.get("track")))
        index = conflict.get("merged_index", conflict.get("ours_index"))
        listed = clips(track) if track is not None else []
        if not isinstance(index, int) or not 0 <= index < len(listed):
            continue
        found = listed[index]
        markers = found.get("markers")
        if not isinstance(markers, list):
            markers = found["markers"] = []
        markers.append({
            "OTIO_SCHEMA": "Marker.2",
            "name": f"merge conflict: {conflict.get('kind')}",
            "color": "RED",
            "marked_range": found.get("source_range"),
            "metadata": {"tesmo": {"conflict": conflict.get("message")}},
        })


def run_merge_file(args: argparse.Namespace) -> int:
    base, ours, theirs = _read(args.base), _read(args.ours), _read(args.theirs)
    merged = merge_timelines(base, ours, theirs)
    if merged.conflicts:
        _mark_conflicts(merged.timeline, merged.conflicts)
    _write_in_place(args.ours, document_text(merged.timeline))
    for conflict in merged.conflicts:
        print(f"{args.ours}: conflict on {conflict.get('track')}: {conflict.get('message')}", file=sys.stderr)
    for warning in merged.warnings:
        print(f"{args.ours}: warning: {warning.get('message')}", file=sys.stderr)
    return 1 if merged.conflicts else 0
