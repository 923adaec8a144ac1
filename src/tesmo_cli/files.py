"""Timelines in and out of the files editors exchange.

An ``.otio`` or ``.otio.json`` file is plain JSON: it is read with
:func:`json.load` and written with :func:`json.dump`, without OpenTimelineIO,
so a committed document is exactly the one on disk (no schema upgrade, ints
stay ints). Every other format goes through OpenTimelineIO's adapters, with
the keyword arguments given by ``--adapter-option``; a missing library or
adapter plugin is reported with the package that provides it, and an
adapter's failure as one line with what to try.

Outputs are written whole or not at all: a regular file is replaced by a
complete new one, a symbolic link's target is what gets replaced, and a FIFO
or a character device (``/dev/null``, a terminal) is written through.
"""

from __future__ import annotations

import argparse
import codecs
import inspect
import io
import json
import os
import re
import shutil
import stat
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from . import otio_json
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

# Formats whose adapter writes a directory rather than a file.
DIRECTORY_SUFFIXES = (".otiod",)

# Keyword arguments the adapter machinery sets itself; an option of one of
# these names would collide with it.
RESERVED_OPTIONS = frozenset({"filepath", "input_otio", "input_str", "hook_function_argument_map"})

# Frame rates offered when an EDL's timecodes run past the rate it was read at.
COMMON_RATES = (24, 25, 30, 48, 50, 60, 96, 100, 120)

# How many timeline names an error lists before it stops.
LISTED_NAMES = 10


# ----------------------------------------------------------------------------
# Text that an encoding cannot hold

# A character the output encoding cannot hold becomes a JSON escape
# (\u00e9, a surrogate pair above U+FFFF): valid inside the JSON the command
# prints and writes, and readable in a change list. A lone surrogate (a
# non-UTF-8 file name, a "\udce9" escape read from JSON) is written the same
# way, so an .otio file keeps it exactly.
JSON_ESCAPE = "tesmo.json-escape"
# In an HTML page a character UTF-8 cannot hold, only ever a lone surrogate,
# is shown as U+FFFD, as a browser would show the bytes it stands for.
REPLACEMENT = "tesmo.replacement"


def _json_escape(error: UnicodeError) -> Tuple[str, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    escaped = []
    for char in error.object[error.start:error.end]:
        code = ord(char)
        if code > 0xFFFF:
            code -= 0x10000
            escaped.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
        else:
            escaped.append(f"\\u{code:04x}")
    return "".join(escaped), error.end


def _replacement(error: UnicodeError) -> Tuple[bytes, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    # As bytes: the UTF-8 encoder takes only ASCII text from a handler.
    return "\ufffd".encode() * (error.end - error.start), error.end


codecs.register_error(JSON_ESCAPE, _json_escape)
codecs.register_error(REPLACEMENT, _replacement)


def escape_unencodable_output() -> None:
    """Make stdout write what its encoding cannot hold as JSON escapes
    instead of failing (PYTHONIOENCODING=ascii and a clip named café)."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors=JSON_ESCAPE)


# ----------------------------------------------------------------------------
# Options of the commands that read or write timeline files


@dataclass(frozen=True)
class FileOptions:
    """How to read and write timeline files: keyword arguments for
    OpenTimelineIO's adapters, and which timeline to read from a file that
    holds several (a name, or a number counting from 1)."""

    adapter: Mapping[str, Any] = field(default_factory=dict)
    timeline: Optional[str] = None


def adapter_option(text: str) -> Tuple[str, Any]:
    """KEY=VALUE as (key, value): VALUE read as JSON if it can be, else text."""
    key, equals, value = text.partition("=")
    if not equals or not key.isidentifier():
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE with KEY a keyword name")
    if key in RESERVED_OPTIONS:
        raise argparse.ArgumentTypeError(f"{key} is set by OpenTimelineIO itself, not an option")
    try:
        parsed: Any = json.loads(value)
    except (ValueError, RecursionError):
        parsed = value
    # The bundle adapters compare their media policy with "is": an interned
    # string is the very object of their constant of that text.
    return key, sys.intern(parsed) if isinstance(parsed, str) else parsed


def add_file_options(parser: argparse.ArgumentParser, reads: bool = True) -> None:
    """--adapter-option for a command that reads or writes timeline files,
    and --timeline for one that reads them."""
    parser.add_argument(
        "--adapter-option", dest="adapter_options", action="append", default=[],
        type=adapter_option, metavar="KEY=VALUE",
        help="pass KEY=VALUE to every OpenTimelineIO adapter the command runs, as a "
             "keyword argument (e.g. rate=25 for an EDL at 25 fps); VALUE is read as "
             "JSON if it can be (25, 23.976, true, \"25\" for text), else as text; "
             "repeatable. .otio and .otio.json files need no adapter and ignore it")
    if reads:
        parser.add_argument(
            "--timeline", metavar="NAME|N",
            help="from a file that holds several timelines (an FCPXML event, an OTIO "
                 "collection), read the one named NAME, else the Nth, counting from 1; "
                 "a file holding one timeline is read as it is")


def file_options(args: argparse.Namespace) -> FileOptions:
    """The file options given on a command line; the last of a repeated key wins."""
    return FileOptions(dict(getattr(args, "adapter_options", None) or ()),
                       getattr(args, "timeline", None))


def suffix_of(path: str) -> str:
    return Path(path).suffix.lower()


def is_plain_json(path: str) -> bool:
    """Whether a file is OTIO JSON read and written as plain JSON: .otio,
    or .otio.json, which would otherwise go to no adapter or a wrong one."""
    suffix = suffix_of(path)
    return suffix == ".otio" or (suffix == ".json" and suffix_of(Path(path).stem) == ".otio")


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


# ----------------------------------------------------------------------------
# Which timeline of a file


def _shown(name: str) -> str:
    """A timeline name as an error line shows it: quoted when it is empty or
    holds spaces, commas, quotes or control characters."""
    if name and not re.search(r"[\s,\"'\\]|[^\x20-\x7e\u00a0-\U0010ffff]", name):
        return name
    return json.dumps(name, ensure_ascii=False)


def _listing(names: Sequence[str]) -> str:
    shown = [_shown(name) if name else f"{number} (no name)"
             for number, name in enumerate(names[:LISTED_NAMES], 1)]
    if len(names) > LISTED_NAMES:
        shown.append(f"... ({len(names)} in all)")
    return ", ".join(shown)


def _choose(path: str, names: Sequence[str], choice: Optional[str]) -> int:
    """The index of the timeline to read among those a file holds, given
    their names and the --timeline choice: a name, else a number from 1.
    The choice is for a file that holds several: the one timeline of a file
    is read whatever it says, so that a diff of such a file with a
    one-timeline file can choose."""
    if len(names) == 1:
        return 0
    how = f" (choose one with --timeline NAME or N: {_listing(names)})" if names else ""
    if choice is None:
        raise CliError(f"{path}: holds {len(names)} timelines, expected one{how}")
    named = [index for index, name in enumerate(names) if name == choice]
    if len(named) == 1:
        return named[0]
    if named:
        numbers = ", ".join(str(index + 1) for index in named)
        raise CliError(f"{path}: holds {len(named)} timelines named {_shown(choice)} "
                       f"(choose one with --timeline N: {numbers})")
    if re.fullmatch(r"[0-9]+", choice):
        if 1 <= int(choice) <= len(names):
            return int(choice) - 1
        raise CliError(f"{path}: holds no timeline number {choice}, counting from 1{how}")
    raise CliError(f"{path}: holds no timeline named {_shown(choice)}{how}")


def _timeline_of(otio: Any, result: Any, path: str, choice: Optional[str]) -> Any:
    """The timeline to read of what an adapter read: the only one, or the one
    chosen among those a collection holds."""
    if isinstance(result, otio.schema.Timeline):
        found = [result]
    elif isinstance(result, otio.schema.SerializableCollection):
        found = list(result.find_children(descended_from_type=otio.schema.Timeline))
        clips = [child for child in result if isinstance(child, otio.schema.Clip)]
        if not found and clips:
            # A list of clips (an ALE, a bin): one track of them, in order.
            timeline = otio.schema.Timeline(name=result.name or Path(path).stem)
            track = otio.schema.Track(name="V1", kind=otio.schema.TrackKind.Video)
            for clip in clips:
                track.append(clip.deepcopy())
            timeline.tracks.append(track)
            found = [timeline]
    else:
        raise CliError(f"{path}: holds a {type(result).__name__}, not a timeline")
    return found[_choose(path, [str(timeline.name or "") for timeline in found], choice)]


def _json_timelines(document: Any) -> Optional[List[Any]]:
    """The timelines of a plain JSON document: itself, or those a collection
    holds at any depth, in order; None for anything else, which the module
    then judges."""
    kind = otio_json.schema(document)
    if kind == "Timeline":
        return [document]
    if kind != "SerializableCollection":
        return None
    found: List[Any] = []
    pending = [document]
    while pending:
        item = pending.pop()
        kind = otio_json.schema(item)
        if kind == "Timeline":
            found.append(item)
        elif kind == "SerializableCollection" and isinstance(item.get("children"), list):
            pending.extend(reversed(item["children"]))
    return found


# ----------------------------------------------------------------------------
# Reading


def _read_json(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except json.JSONDecodeError as error:
        raise CliError(f"{path}: invalid JSON: {error}") from None
    except UnicodeDecodeError:
        raise CliError(f"{path}: invalid JSON: the file is not UTF-8 text") from None
    except ValueError as error:
        # Python converts at most so many digits to an int.
        if "integer string conversion" not in str(error):
            raise CliError(f"{path}: invalid JSON: {_describe(error)}") from None
        limit = getattr(sys, "get_int_max_str_digits", lambda: 4300)()
        raise CliError(f"{path}: cannot read: a number has more than {limit} digits") from None
    except RecursionError:
        raise CliError(f"{path}: cannot read: the JSON is nested too deeply") from None


def read_document(path: str, options: Optional[FileOptions] = None) -> Any:
    """The OTIO JSON document (dicts and lists) of the timeline in a file."""
    options = options or FileOptions()
    if is_plain_json(path):
        document = _read_json(path)
        found = _json_timelines(document)
        if found is None:
            return document
        return found[_choose(path, [otio_json.text(timeline.get("name")) for timeline in found],
                             options.timeline)]
    if not os.path.exists(path):
        # Checked first so that a missing file is reported as such, whatever
        # is installed.
        raise CliError(f"{path}: No such file or directory")
    otio = _otio(path, "reading")
    adapter = _adapter(otio, path, "read", "reading")
    try:
        result = adapter.read_from_file(path, **options.adapter)
    except Exception as error:  # adapters raise anything on a bad file
        raise _adapter_failure(path, adapter, "read", error, options.adapter) from None
    timeline = _timeline_of(otio, result, path, options.timeline)
    return json.loads(timeline.to_json_string())


# ----------------------------------------------------------------------------
# What an adapter's failure says


def _describe(error: BaseException, limit: int = 300) -> str:
    text = " ".join(str(error).split())
    if len(text) > limit:
        text = text[:limit - 3] + "..."
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _adapter_options(adapter: Any, doing: str) -> List[str]:
    """The keyword options an adapter's function for doing ("read" or
    "write") names."""
    functions = (f"{doing}_from_file", f"{doing}_from_string") if doing == "read" \
        else (f"{doing}_to_file", f"{doing}_to_string")
    try:
        module = adapter.module()
        function = next(getattr(module, name) for name in functions if hasattr(module, name))
        parameters = list(inspect.signature(function).parameters.values())
    except Exception:  # a plugin that will not import or has no usable signature
        return []
    return [parameter.name for parameter in parameters
            if parameter.kind in (parameter.POSITIONAL_OR_KEYWORD, parameter.KEYWORD_ONLY)
            and parameter.name not in RESERVED_OPTIONS]


def _option_text(key: str, value: Any) -> str:
    return f"{key}={_shown(value) if isinstance(value, str) else json.dumps(value)}"


def _next_rate(message: str) -> str:
    """A rate the timecode an EDL reader rejected fits: "Timecode
    '01:00:01:24' has frames beyond 23" wants more than 24 frames a second."""
    found = re.search(r"'[^']*?(\d+)'\s*has frames beyond", message)
    if found:
        frames = int(found.group(1))
        rate = next((rate for rate in COMMON_RATES if rate > frames), None)
        if rate is not None:
            return str(rate)
    return "N"


def _hint(path: str, adapter: Any, doing: str, error: Exception, named: List[str],
          given: bool) -> str:
    """What to try after an adapter failed on a file."""
    message = " ".join(str(error).split())
    lower = message.lower()
    rate = next((name for name in ("rate", "fps") if name in named), None)
    if doing == "read" and rate and ("frame rate" in lower or "frames beyond" in lower):
        return f"for another rate, try --adapter-option {rate}={_next_rate(message)}"
    if doing == "read" and "ignore_timecode_mismatch" in named and (
            "duration don't match" in lower or "overlapping record" in lower):
        return "to read it anyway, try --adapter-option ignore_timecode_mismatch=true"
    if doing == "write" and "media_policy" in named and (
            type(error).__name__ == "NotAFileOnDisk" or "target_url" in lower):
        return "to bundle without the media files, try --adapter-option media_policy=MissingIfNotFile"
    takes = f"; the {adapter.name} adapter takes --adapter-option {', '.join(named)}" \
        if named else ""
    if doing == "read":
        what = f"a complete {suffix_of(path) or 'timeline'} file"
        return f"check {'the options and that it is ' if given else 'that it is '}{what}{takes}"
    return f"an .otio file holds any timeline{takes}"


def _adapter_failure(path: str, adapter: Any, doing: str, error: Exception,
                     options: Mapping[str, Any]) -> CliError:
    """One line for an adapter that failed on path: what it said and what to try."""
    if isinstance(error, CliError):
        return error
    named = _adapter_options(adapter, doing)
    if isinstance(error, TypeError) and options:
        unknown = re.search(r"unexpected keyword argument '(\w+)'", str(error))
        if unknown and unknown.group(1) in options:
            verb = "reading" if doing == "read" else "writing"
            takes = f"it takes: {', '.join(named)}" if named else "it takes none"
            return CliError(f"{path}: the {adapter.name} adapter takes no option "
                            f"{unknown.group(1)} when {verb} ({takes})")
    if isinstance(error, OSError) and error.strerror:
        # Named when it is another file (a bundle's media), not this one or
        # the temporary it is written as, which has its name.
        other = error.filename if isinstance(error.filename, str) \
            and os.path.basename(error.filename) != os.path.basename(path) else None
        return CliError(f"{path}: cannot {doing}: {other + ': ' if other else ''}{error.strerror}")
    # With options given, the failure may well be theirs: say which they were.
    given = "".join(f" --adapter-option {_option_text(key, value)}"
                    for key, value in options.items())
    return CliError(f"{path}: cannot {doing} as {adapter.name}{' with' + given if given else ''}: "
                    f"{_describe(error)} ({_hint(path, adapter, doing, error, named, bool(given))})")


# ----------------------------------------------------------------------------
# Writing


def document_text(document: Any) -> str:
    """OTIO JSON text of a document, laid out as OpenTimelineIO writes it."""
    return json.dumps(document, indent=4, ensure_ascii=False) + "\n"


Writer = Callable[[str], None]


@dataclass
class _Output:
    path: str  # as given, for messages
    target: str  # the node written: path with a final symbolic link followed
    stream: bool  # a FIFO or character device, written through, not replaced
    write: Writer
    temporary: str = ""  # where the writer writes, in a private directory


def _mode(path: str) -> Optional[int]:
    """The mode of what path names, through any links; None if nothing."""
    try:
        return os.stat(path).st_mode
    except FileNotFoundError:
        return None  # a new file, or a link to one
    except OSError as error:  # a loop of links, a file where a directory should be
        raise CliError(f"{path}: cannot write: {error.strerror}") from None


def _is_stream(mode: Optional[int]) -> bool:
    return mode is not None and (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode))


def _plan(path: str, write: Writer) -> _Output:
    """Where an output goes, refusing what it cannot be written to."""
    mode = _mode(path)
    suffix = suffix_of(path)
    if suffix in DIRECTORY_SUFFIXES and mode is not None:
        raise CliError(f"{path}: already exists; a {suffix} bundle is a new directory "
                       "and replaces nothing (remove it or choose another name)")
    if _is_stream(mode):
        # Opened by its own path, so that the kernel follows the links
        # (/dev/stdout to /proc/self/fd/1 to a pipe).
        return _Output(path, path, True, write)
    if mode is not None and stat.S_ISDIR(mode):
        raise CliError(f"{path}: cannot write: Is a directory")
    if mode is not None and not stat.S_ISREG(mode):
        raise CliError(f"{path}: cannot write: not a regular file, FIFO or character device")
    # A file is replaced where it is: a link's target, not the link.
    return _Output(path, os.path.realpath(path) if os.path.islink(path) else path, False, write)


def _refuse_shared(outputs: Sequence[_Output]) -> None:
    """Refuse two outputs that name one file: one would overwrite the other."""
    seen: Dict[Any, _Output] = {}
    for output in outputs:
        keys: List[Any] = [os.path.realpath(output.target)]
        try:
            status = os.stat(output.target)
            keys.append((status.st_dev, status.st_ino))
        except OSError:
            pass
        for key in keys:
            first = seen.get(key)
            if first is None:
                continue
            if first.path == output.path:
                raise CliError(f"{output.path}: given for two outputs; each needs a file of its own")
            raise CliError(f"{first.path} and {output.path} are one file; "
                           "each output needs a file of its own")
        for key in keys:
            seen[key] = output


def _temporary_name(path: str) -> str:
    """The output's own name, which keeps its suffix for the adapter."""
    name = os.path.basename(path)
    return name if name not in ("", ".", "..") else "output" + suffix_of(path)


def _write_through(output: _Output) -> None:
    """Copy a finished output into the FIFO or device it goes to."""
    try:
        with open(output.temporary, "rb") as source:
            descriptor = os.open(output.target, os.O_WRONLY | os.O_NOCTTY)
            try:
                # Planned as a FIFO or a device: a regular file swapped in
                # since would be overwritten in part, never truncated.
                if not _is_stream(os.fstat(descriptor).st_mode):
                    raise CliError(f"{output.path}: changed while it was being written")
                for chunk in iter(lambda: source.read(1 << 16), b""):
                    view = memoryview(chunk)
                    while view:
                        view = view[os.write(descriptor, view):]
            finally:
                os.close(descriptor)
    except OSError as error:
        raise CliError(f"{output.path}: cannot write: {error.strerror or error}") from None


def write_outputs(outputs: Sequence[Tuple[str, Writer]]) -> None:
    """Run each write(temporary path), then put every result in place.

    Each writer writes a path that does not exist yet (adapters such as the
    .otioz one refuse to overwrite), under the output's own name, in a
    private temporary directory: beside the file it replaces, so that the
    rename is atomic, or in the system's temporary directory for a FIFO or a
    character device. Nothing lands until every write has succeeded; then
    the FIFOs and devices are written through, then the files renamed over
    their paths (over a symbolic link's target, not the link). A failed
    write leaves no file behind, and an existing file stays as it was. Two
    outputs naming one file are refused before anything is written.
    """
    planned = [_plan(path, write) for path, write in outputs]
    _refuse_shared(planned)
    directories: List[str] = []
    try:
        for output in planned:
            try:
                if output.stream:
                    directory = tempfile.mkdtemp(prefix="tesmo-")
                else:
                    directory = tempfile.mkdtemp(prefix=".tesmo-",
                                                 dir=os.path.dirname(output.target) or ".")
            except OSError as error:
                raise CliError(f"{output.path}: cannot write: {error.strerror}") from None
            directories.append(directory)
            output.temporary = os.path.join(directory, _temporary_name(output.path))
        for output in planned:
            output.write(output.temporary)
        for output in planned:
            if output.stream:
                _write_through(output)
        for output in planned:
            if not output.stream:
                try:
                    os.replace(output.temporary, output.target)
                except OSError as error:
                    raise CliError(f"{output.path}: cannot write: {error.strerror}") from None
    finally:
        for directory in directories:
            shutil.rmtree(directory, ignore_errors=True)


def text_writer(text: str, errors: str = REPLACEMENT) -> Writer:
    """A writer of UTF-8 text; errors says what becomes of a lone surrogate,
    which UTF-8 cannot hold (U+FFFD by default)."""

    def write(temporary: str) -> None:
        with open(temporary, "x", encoding="utf-8", errors=errors) as stream:
            stream.write(text)

    return write


def document_writer(document: Any, path: str, options: Optional[FileOptions] = None) -> Writer:
    """A writer of a document in the format path's suffix names; a missing
    library or adapter, or a document it cannot take, fails here."""
    options = options or FileOptions()
    try:
        # A FIFO or device named without an extension (/dev/stdout) gets OTIO JSON.
        stream = not suffix_of(path) and _is_stream(_mode(path))
    except CliError:
        stream = False  # write_outputs says what is wrong with the path
    if is_plain_json(path) or stream:
        return text_writer(document_text(document), errors=JSON_ESCAPE)
    otio = _otio(path, "writing")
    adapter = _adapter(otio, path, "write", "writing")
    try:
        timeline = otio.adapters.read_from_string(json.dumps(document), "otio_json")
    except Exception as error:
        raise CliError(f"cannot convert the timeline for {path}: {_describe(error)}") from None

    def write_adapter(temporary: str) -> None:
        try:
            adapter.write_to_file(timeline, temporary, **options.adapter)
        except Exception as error:
            raise _adapter_failure(path, adapter, "write", error, options.adapter) from None

    return write_adapter


def write_document(document: Any, path: str, options: Optional[FileOptions] = None) -> None:
    """Write a document to path in the format its suffix names."""
    write_outputs([(path, document_writer(document, path, options))])
