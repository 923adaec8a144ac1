"""Timelines in and out of the files editors exchange.

An ``.otio`` file is plain JSON: it is read with :func:`json.load` and
written with :func:`json.dump`, without OpenTimelineIO, so a committed
document is exactly the one on disk (no schema upgrade, ints stay ints).
Every other format goes through OpenTimelineIO's adapters; a missing
library or adapter plugin is reported with the package that provides it.
"""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path
from typing import Any, Callable, List, Sequence, Tuple

from .errors import CliError

# The PyPI package of the adapter plugin for each suffix that OpenTimelineIO
# itself does not read.
ADAPTER_PACKAGES = {
    ".edl": "otio-cmx3600-adapter",
    ".xml": "otio-fcp-adapter",
    ".fcpxml": "otio-fcpx-xml-adapter",
    ".aaf": "otio-aaf-adapter",
    ".ale": "otio-ale-adapter",
}


def suffix_of(path: str) -> str:
    return Path(path).suffix.lower()


def _otio(path: str, doing: str) -> Any:
    """The opentimelineio module, or a CliError naming what to install."""
    try:
        import opentimelineio  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        packages = "opentimelineio"
        extra = ADAPTER_PACKAGES.get(suffix_of(path))
        if extra:
            packages += " " + extra
        raise CliError(
            f"{doing} {suffix_of(path) or 'extension-less'} files needs OpenTimelineIO: "
            f"pip install {packages}") from None
    return opentimelineio


def _adapter(otio: Any, path: str, feature: str, doing: str) -> Any:
    """The adapter OpenTimelineIO picks for path's suffix, if it can do feature."""
    suffix = suffix_of(path)
    hint = ADAPTER_PACKAGES.get(suffix)
    try:
        adapter = otio.adapters.from_filepath(path)
    except otio.exceptions.NoKnownAdapterForExtensionError:
        adapter = None
    if adapter is None or not adapter.has_feature(feature):
        what = f"{suffix} files" if suffix else "files without an extension"
        if hint and adapter is None:
            raise CliError(f"no OpenTimelineIO adapter for {what}: pip install {hint}")
        raise CliError(f"no installed OpenTimelineIO adapter supports {doing} {what}")
    return adapter


def _timeline_of(otio: Any, result: Any, path: str) -> Any:
    """The one timeline an adapter read; a collection must hold exactly one."""
    if isinstance(result, otio.schema.Timeline):
        return result
    if isinstance(result, otio.schema.SerializableCollection):
        found = list(result.find_children(descended_from_type=otio.schema.Timeline))
        if len(found) == 1:
            return found[0]
        clips = [child for child in result if isinstance(child, otio.schema.Clip)]
        if not found and clips:
            # A list of clips (an ALE, a bin): one track of them, in order.
            timeline = otio.schema.Timeline(name=result.name or Path(path).stem)
            track = otio.schema.Track(name="V1", kind=otio.schema.TrackKind.Video)
            for clip in clips:
                track.append(clip.deepcopy())
            timeline.tracks.append(track)
            return timeline
        raise CliError(f"{path}: holds {len(found)} timelines, expected one")
    raise CliError(f"{path}: holds a {type(result).__name__}, not a timeline")


def read_document(path: str) -> Any:
    """The OTIO JSON document (dicts and lists) of the timeline in a file."""
    if suffix_of(path) == ".otio":
        try:
            with open(path, encoding="utf-8") as stream:
                return json.load(stream)
        except json.JSONDecodeError as error:
            raise CliError(f"{path}: invalid JSON: {error}") from None
        except UnicodeDecodeError:
            raise CliError(f"{path}: invalid JSON: the file is not UTF-8 text") from None
    if not os.path.exists(path):
        # Checked first so that a missing file is reported as such, whatever
        # is installed.
        raise CliError(f"{path}: No such file or directory")
    otio = _otio(path, "reading")
    adapter = _adapter(otio, path, "read", "reading")
    try:
        result = adapter.read_from_file(path)
    except CliError:
        raise
    except Exception as error:  # adapters raise anything on a bad file
        raise CliError(f"{path}: cannot read as {adapter.name}: {_describe(error)}") from None
    timeline = _timeline_of(otio, result, path)
    return json.loads(timeline.to_json_string())


def _describe(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def document_text(document: Any) -> str:
    """OTIO JSON text of a document, laid out as OpenTimelineIO writes it."""
    return json.dumps(document, indent=4, ensure_ascii=False) + "\n"


Writer = Callable[[str], None]


def write_outputs(outputs: Sequence[Tuple[str, Writer]]) -> None:
    """Run each write(temporary path), then rename every result to its path.

    A temporary file is in its path's directory and has its suffix (adapters
    and readers go by the suffix). Nothing is renamed until every write has
    succeeded, so a failed write leaves no file behind, of its own or of
    another output, and an existing file at a path stays as it was.
    """
    temporaries: List[str] = []
    try:
        for path, _ in outputs:
            target = Path(path)
            try:
                descriptor, temporary = tempfile.mkstemp(prefix=".tesmo-", suffix=target.suffix,
                                                         dir=target.parent)
            except OSError as error:
                raise CliError(f"{path}: cannot write: {error.strerror}") from None
            os.close(descriptor)
            temporaries.append(temporary)
            if target.suffix.lower() == ".otiod":
                # A bundle is a directory the adapter creates itself.
                os.unlink(temporary)
        for (_, write), temporary in zip(outputs, temporaries):
            write(temporary)
            if os.path.isfile(temporary):
                # mkstemp makes the file private; give it a new file's usual mode.
                os.chmod(temporary, 0o666 & ~_umask())
        for (path, _), temporary in zip(outputs, temporaries):
            os.replace(temporary, path)
    except BaseException:
        for temporary in temporaries:
            _remove(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _remove(path: str) -> None:
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            import shutil

            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
    except OSError:
        pass


def text_writer(text: str) -> Writer:
    """A writer of UTF-8 text."""

    def write(temporary: str) -> None:
        with open(temporary, "w", encoding="utf-8") as stream:
            stream.write(text)

    return write


def document_writer(document: Any, path: str) -> Writer:
    """A writer of a document in the format path's suffix names; a missing
    library or adapter, or a document it cannot take, fails here."""
    if suffix_of(path) == ".otio":
        return text_writer(document_text(document))
    otio = _otio(path, "writing")
    adapter = _adapter(otio, path, "write", "writing")
    try:
        timeline = otio.adapters.read_from_string(json.dumps(document), "otio_json")
    except Exception as error:
        raise CliError(f"cannot convert the timeline for {path}: {_describe(error)}") from None

    def write_adapter(temporary: str) -> None:
        try:
            otio.adapters.write_to_file(timeline, temporary, adapter_name=adapter.name)
        except Exception as error:
            raise CliError(f"{path}: cannot write as {adapter.name}: {_describe(error)}") from None

    return write_adapter


def write_document(document: Any, path: str) -> None:
    """Write a document to path in the format its suffix names."""
    write_outputs([(path, document_writer(document, path))])
