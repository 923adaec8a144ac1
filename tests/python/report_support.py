"""Loading change reports in headless Chromium, and reading what comes back:
the DOM after the page's script ran, the network log, a screenshot."""

from __future__ import annotations

import fcntl
import importlib.util
import json
import os
import shutil
import struct
import subprocess
import time
import zlib
from dataclasses import dataclass, field
from html.parser import HTMLParser
from pathlib import Path
from typing import Any, Dict, List, Optional, Set, Tuple


def chromium_binary() -> Optional[str]:
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


# No background traffic of the browser's own, so that every request in the
# network log comes from the page.
QUIET = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--hide-scrollbars",
         "--window-size=1440,900"]


def _run(args: List[str], profile: Path) -> str:
    binary = chromium_binary()
    assert binary is not None
    result = subprocess.run([binary, *QUIET, f"--user-data-dir={profile}", *args],
                            capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


@dataclass
class Mark:
    """An element carrying data-op, with the classes of the elements inside it."""
    op: str
    attrs: Dict[str, str]
    inner: List[str] = field(default_factory=list)


class _DomReader(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.root: Dict[str, str] = {}
        self.marks: List[Mark] = []
        self.rows: List[Dict[str, str]] = []
        self._open: List[Tuple[str, Optional[Mark]]] = []
        self._in_count = False
        self.count_text = ""

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        values = {key: value or "" for key, value in attrs}
        if tag == "html":
            self.root = values
        inside = next((mark for _, mark in reversed(self._open) if mark is not None), None)
        if inside is not None:
            inside.inner.extend(values.get("class", tag).split())
        mark = None
        if "data-op" in values:
            mark = Mark(values["data-op"], values)
            self.marks.append(mark)
        if tag == "tr" and "data-rec" in values:
            self.rows.append(values)
        self._in_count = values.get("id") == "record-count"
        if tag not in ("meta", "br", "img", "input", "link"):
            self._open.append((tag, mark))

    def handle_endtag(self, tag: str) -> None:
        while self._open:
            if self._open.pop()[0] == tag:
                break

    def handle_data(self, data: str) -> None:
        if self._in_count:
            self.count_text += data
            self._in_count = False


@dataclass
class Loaded:
    root: Dict[str, str]
    marks: List[Mark]
    rows: List[Dict[str, str]]
    count_text: str
    requests: List[str]


def load(page: Path, work: Path) -> Loaded:
    """Load a page headless; return its DOM after the scripts ran and the
    URL of every request the browser made while doing so."""
    netlog = work / "netlog.json"
    dom = _run(["--virtual-time-budget=3000", f"--log-net-log={netlog}", "--dump-dom",
                page.as_uri()], work / "profile")
    reader = _DomReader()
    reader.feed(dom)
    return Loaded(reader.root, reader.marks, reader.rows, reader.count_text.strip(),
                  requested_urls(netlog))


def requested_urls(netlog: Path) -> List[str]:
    """URLs the page asked for: the network log's request jobs that have an
    initiator. Chromium's own background requests (updates, time, spelling
    dictionaries) are logged with the initiator "not an origin"."""
    text = netlog.read_text(encoding="utf-8", errors="replace").rstrip().rstrip(",")
    if not text.endswith("}"):
        text += "]}"  # a log cut short when the browser exits
    log = json.loads(text)
    start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    urls = []
    for event in log.get("events", []):
        params = event.get("params")
        if event.get("type") != start_job or not isinstance(params, dict):
            continue
        if params.get("initiator") != "not an origin" and isinstance(params.get("url"), str):
            urls.append(params["url"])
    return urls


def screenshot(page: Path, out: Path, work: Path) -> None:
    _run([f"--screenshot={out}", page.as_uri()], work / "profile")


class DevTools:
    """A headless Chromium driven over the DevTools protocol on a pipe
    (--remote-debugging-pipe: commands on the browser's fd 3, replies on
    its fd 4, each message JSON ended by a NUL byte), with one page open."""

    def __init__(self, page: Path, profile: Path) -> None:
        binary = chromium_binary()
        assert binary is not None
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()
        # Copies above the low numbers, so that placing them on 3 and 4 in
        # the child cannot overwrite one with the other.
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 20) for fd in (to_browser, from_browser)]

        def place() -> None:
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.process = subprocess.Popen(
            [binary, *QUIET, "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            pass_fds=(3, 4, *high), preexec_fn=place, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for fd in (to_browser, from_browser, *high):
            os.close(fd)
        self._buffer = b""
        self._next = 0
        target = self.call("Target.createTarget", url=page.as_uri())["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        # Wait for the page's first drawing; the context may be replaced
        # while the page loads, which ends a pending evaluation.
        for _ in range(100):
            try:
                if self.evaluate("document.URL.startsWith('file:') &&"
                                 " document.documentElement.hasAttribute('data-render-ms')"):
                    break
            except AssertionError:
                pass
            time.sleep(0.05)
        else:
            raise AssertionError("the page did not finish drawing")

    def call(self, method: str, session: Optional[str] = None, **params: Any) -> Dict[str, Any]:
        self._next += 1
        message: Dict[str, Any] = {"id": self._next, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self._buffer:
                chunk = os.read(self._from_browser, 1 << 16)
                assert chunk, "the browser closed the pipe"
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._next:
                assert "error" not in reply, reply["error"]
                return reply["result"]  # type: ignore[no-any-return]

    def evaluate(self, expression: str) -> Any:
        """The value of a script expression in the page, awaited when it is
        a promise."""
        result = self.call("Runtime.evaluate", self.session, expression=expression,
                           awaitPromise=True, returnByValue=True)
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except AssertionError:
            pass
        self.process.wait(timeout=30)
        os.close(self._to_browser)
        os.close(self._from_browser)


def png_pixels(path: Path) -> Tuple[int, int, List[Tuple[int, ...]]]:
    """Width, height and pixels of an 8-bit RGB or RGBA PNG without
    interlacing, the kind Chromium writes."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    offset, idat = 8, b""
    width = height = channels = 0
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows: List[bytearray] = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(line)
        previous = line
    pixels = [tuple(row[x * channels:x * channels + 3]) for row in rows for x in range(width)]
    return width, height, pixels


def colours(path: Path) -> Set[Tuple[int, ...]]:
    return set(png_pixels(path)[2])


# ---------------------------------------------------------------------------
# Pairs of timelines built with OpenTimelineIO (callers importorskip it first)

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"


def workflow_pair() -> Tuple[Any, Any]:
    """The assembly cut and the recut of the workflow example, as the
    screenshot script builds them."""
    spec = importlib.util.spec_from_file_location("report_screenshot", SCRIPTS / "report_screenshot.py")
    assert spec is not None and spec.loader is not None
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    return script.workflow_versions()  # type: ignore[no-any-return]


def base_cut() -> Any:
    """Six shots on V1 with a dissolve and a gap, sync sound on A1, 24 fps."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    def span(start: float, duration: float) -> Any:
        return otio.opentime.TimeRange(otio.opentime.RationalTime(start, 24),
                                       otio.opentime.RationalTime(duration, 24))

    def shot(name: str, start: float, duration: float, url: Optional[str] = None) -> Any:
        return otio.schema.Clip(name=name, source_range=span(start, duration),
                                media_reference=otio.schema.ExternalReference(
                                    target_url=url or f"file:///media/{name}.mov"))

    timeline = otio.schema.Timeline(name="cut")
    picture = otio.schema.Track(name="V1", kind=otio.schema.TrackKind.Video)
    for index, name in enumerate(["open", "street", "cafe", "dialogue", "bridge", "close"]):
        picture.append(shot(name, 10 * index, 48 + 12 * index))
        if name == "street":
            picture.append(otio.schema.Transition(
                name="mix", in_offset=otio.opentime.RationalTime(6, 24),
                out_offset=otio.opentime.RationalTime(6, 24)))
        if name == "cafe":
            picture.append(otio.schema.Gap(source_range=span(0, 30)))
    sound = otio.schema.Track(name="A1", kind=otio.schema.TrackKind.Audio)
    sound.append(otio.schema.Gap(source_range=span(0, 48)))
    sound.append(shot("dialogue", 30, 84, "file:///media/dialogue.wav"))
    timeline.tracks.extend([picture, sound])
    return timeline


def _edit(name: str, timeline: Any) -> None:
    """One editor's change, applied with the OpenTimelineIO API."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    picture = timeline.tracks[0]

    def clip(clip_name: str) -> Any:
        return next(item for item in picture.find_clips() if item.name == clip_name)

    def frames(value: float) -> Any:
        return otio.opentime.RationalTime(value, 24)

    if name == "trim tail":
        cafe = clip("cafe")
        cafe.source_range = otio.opentime.TimeRange(cafe.source_range.start_time, frames(40))
    elif name == "trim head":
        bridge = clip("bridge")
        bridge.source_range = otio.opentime.TimeRange(frames(52), frames(84))
    elif name == "move":
        picture.append(picture.pop(picture.index(clip("open"))))
    elif name == "replace media":
        clip("bridge").media_reference = otio.schema.ExternalReference(
            target_url="file:///renders/bridge_v2.mov")
    elif name == "delete":
        picture.remove(clip("dialogue"))
    elif name == "insert":
        picture.insert(0, otio.schema.Clip(
            name="cold_open", media_reference=otio.schema.ExternalReference(
                target_url="file:///media/cold_open.mov"),
            source_range=otio.opentime.TimeRange(frames(0), frames(36))))
    elif name == "effects":
        clip("close").effects.append(otio.schema.Effect(name="fade", effect_name="Fade"))
    elif name == "add transition":
        picture.insert(picture.index(clip("dialogue")) + 1, otio.schema.Transition(
            name="wipe", in_offset=frames(4), out_offset=frames(8)))
    elif name == "remove transition":
        picture.remove(next(item for item in picture if isinstance(item, otio.schema.Transition)))
    elif name == "add track":
        music = otio.schema.Track(name="A2", kind=otio.schema.TrackKind.Audio)
        music.append(otio.schema.Clip(
            name="score", media_reference=otio.schema.ExternalReference(
                target_url="file:///media/score.wav"),
            source_range=otio.opentime.TimeRange(frames(0), frames(300))))
        timeline.tracks.append(music)
    elif name == "remove track":
        timeline.tracks.remove(timeline.tracks[1])
    elif name == "nest":
        # A nested stack before "bridge": it takes record time, and it is
        # not one of the track's clips.
        nested = otio.schema.Stack(name="insert_shot")
        inner = otio.schema.Track()
        inner.append(otio.schema.Clip(name="inside", source_range=otio.opentime.TimeRange(
            frames(0), frames(30))))
        nested.append(inner)
        picture.insert(picture.index(clip("bridge")), nested)
        clip("close").source_range = otio.opentime.TimeRange(frames(50), frames(100))
    elif name == "cross-track move":
        # "cafe" leaves V1 for a second picture track above it.
        upper = otio.schema.Track(name="V2", kind=otio.schema.TrackKind.Video)
        upper.append(otio.schema.Gap(source_range=otio.opentime.TimeRange(frames(0), frames(200))))
        upper.append(picture.pop(picture.index(clip("cafe"))))
        timeline.tracks.insert(1, upper)
    else:
        raise ValueError(name)


EDITS = ["trim tail", "trim head", "move", "replace media", "delete", "insert", "effects",
         "add transition", "remove transition", "add track", "remove track", "nest",
         "cross-track move"]


def edited_pair(*edits: str) -> Tuple[Any, Any]:
    """The base cut and a copy with the named edits made, as timeline dicts."""
    timeline = base_cut()
    before = json.loads(timeline.to_json_string())
    for edit in edits:
        _edit(edit, timeline)
    return before, json.loads(timeline.to_json_string())


# ---------------------------------------------------------------------------
# Smaller pairs for single rules of the drawing


def frames_clip(name: str, start: float, duration: float, rate: float = 24) -> Any:
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    def span(first: float, length: float) -> Any:
        return otio.opentime.TimeRange(otio.opentime.RationalTime(first, rate),
                                       otio.opentime.RationalTime(length, rate))

    # The media lasts well past the shot (the FCP writer needs its length).
    return otio.schema.Clip(
        name=name, media_reference=otio.schema.ExternalReference(
            target_url=f"file:///media/{name}.mov", available_range=span(0, 10000)),
        source_range=span(start, duration))


def three_shots(edit: Optional[Tuple[str, float, float]] = None) -> Any:
    """V1 of three 48-frame shots; `edit` moves the middle one's source
    (name, start change, duration change) in frames."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    timeline = otio.schema.Timeline(name="three")
    track = otio.schema.Track(name="picture", kind=otio.schema.TrackKind.Video)
    for name, first in (("left", 100), ("middle", 500), ("right", 900)):
        start, duration = float(first), 48.0
        if edit is not None and edit[0] == name:
            start, duration = start + edit[1], duration + edit[2]
        track.append(frames_clip(name, start, duration))
    timeline.tracks.append(track)
    return json.loads(timeline.to_json_string())


def ntsc_cut(shots: int = 30, seconds: int = 10) -> Any:
    """A 23.976 fps picture track of `shots` shots of `seconds` each."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    rate = 24000 / 1001
    timeline = otio.schema.Timeline(name="ntsc")
    track = otio.schema.Track(name="picture", kind=otio.schema.TrackKind.Video)
    for index in range(shots):
        track.append(frames_clip(f"shot_{index:02d}", 1000 + 300 * index, seconds * 24, rate))
    timeline.tracks.append(track)
    return json.loads(timeline.to_json_string())


def fcp_xml_pair(directory: Path) -> Tuple[Path, Path]:
    """The base cut and its recut written as Final Cut Pro 7 XML by the
    otio-fcp-adapter at 23.976 fps, with nested sound, two video tracks and
    a dissolve; returns the two files."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    rate = 24000 / 1001

    def cut(recut: bool) -> Any:
        timeline = otio.schema.Timeline(name="harbour_fcp")
        picture = otio.schema.Track(name="picture", kind=otio.schema.TrackKind.Video)
        names = ["dawn", "gulls", "maria", "nets", "boat", "dusk"]
        if recut:
            names.remove("nets")
            names.insert(1, names.pop(names.index("boat")))
        for index, name in enumerate(names):
            start, duration = 240 + 48 * index, 96 + 24 * (index % 3)
            if recut and name == "maria":
                duration -= 30
            picture.append(frames_clip(name, start, duration, rate))
        titles = otio.schema.Track(name="titles", kind=otio.schema.TrackKind.Video)
        titles.append(otio.schema.Gap(source_range=otio.opentime.TimeRange(
            otio.opentime.RationalTime(0, rate), otio.opentime.RationalTime(48, rate))))
        titles.append(frames_clip("title_card", 0, 72 if not recut else 96, rate))
        sound = otio.schema.Track(name="sound", kind=otio.schema.TrackKind.Audio)
        sound.append(frames_clip("room_tone", 0, 600, rate))
        timeline.tracks.extend([picture, titles, sound])
        return timeline

    paths = []
    for name, recut in (("assembly.xml", False), ("recut.xml", True)):
        path = directory / name
        otio.adapters.write_to_file(cut(recut), str(path), adapter_name="fcp_xml")
        paths.append(path)
    return paths[0], paths[1]


def read_timeline_file(path: Path) -> Any:
    """A timeline file read through OpenTimelineIO's adapters, as a dict."""
    import opentimelineio as otio  # type: ignore[import-untyped, unused-ignore]

    return json.loads(otio.adapters.read_from_file(str(path)).to_json_string())
