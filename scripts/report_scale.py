"""Size and render time of the change report for large cuts.

Builds pairs of synthetic timelines (one video track of N clips, an audio
track of N/4 clips, every kind of change scattered along them), writes each
pair's report, loads it in headless Chromium and prints the file size, the
bytes per clip, the Python rendering time and the time the page took to
draw (read from the data-render-ms attribute the page sets when its first
drawing is done), then drives the page over the DevTools protocol to time
a zoom step and a scroll step (from the input to the second animation frame
after it). Needs the tesmo module and Chromium, not OpenTimelineIO.

    PYTHONPATH=src python scripts/report_scale.py            # 2,000 and 20,000 clips
    PYTHONPATH=src python scripts/report_scale.py 500 5000   # other sizes
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Tuple

from tesmo_cli.report import render_report

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from report_support import DevTools  # noqa: E402

RATE = 24


def _time(frames: float) -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "RationalTime.1", "value": frames, "rate": RATE}


def _clip(name: str, media: str, start: int, duration: int, effects: int = 0) -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "Clip.2", "name": name,
            "source_range": {"OTIO_SCHEMA": "TimeRange.1", "start_time": _time(start),
                             "duration": _time(duration)},
            "media_references": {"DEFAULT_MEDIA": {"OTIO_SCHEMA": "ExternalReference.1",
                                                   "target_url": media}},
            "active_media_reference_key": "DEFAULT_MEDIA",
            "effects": [{"OTIO_SCHEMA": "Effect.1", "effect_name": "Blur"}] * effects}


def _dissolve() -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "Transition.1", "name": "dissolve",
            "transition_type": "SMPTE_Dissolve", "in_offset": _time(6), "out_offset": _time(6)}


def _gap(frames: int) -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "Gap.1", "source_range": {
        "OTIO_SCHEMA": "TimeRange.1", "start_time": _time(0), "duration": _time(frames)}}


def _track(name: str, kind: str, children: List[Dict[str, Any]]) -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "Track.1", "name": name, "kind": kind, "children": children}


def _timeline(tracks: List[Dict[str, Any]]) -> Dict[str, Any]:
    return {"OTIO_SCHEMA": "Timeline.1", "name": "scale test",
            "tracks": {"OTIO_SCHEMA": "Stack.1", "children": tracks}}


def make_pair(clips: int) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """A cut of `clips` clips and a recut in which about one clip in ten
    changes: trims, moves, new media, effects, removals, insertions and
    transitions, plus a title track that goes and a music track that comes."""
    video = [_clip(f"shot_{i:05d}_take{i % 7}", f"file:///media/reel_{i // 50:03d}/shot_{i:05d}.mov",
                   (i * 37) % 900, 24 + (i * 13) % 96) for i in range(clips * 4 // 5)]
    audio = [_clip(f"sound_{i:05d}", f"file:///media/sound/sound_{i:05d}.wav", 0, 48 + i % 60)
             for i in range(clips // 5)]
    before_video: List[Dict[str, Any]] = []
    for i, clip in enumerate(video):
        before_video.append(clip)
        if i % 40 == 3:
            before_video.append(_dissolve())
    after_video: List[Dict[str, Any]] = []
    moved: List[Dict[str, Any]] = []
    for i, clip in enumerate(video):
        clip = dict(clip)
        if i % 97 == 5:
            continue  # removed
        if i % 83 == 11:
            moved.append(clip)
            continue
        if i % 31 == 7:
            rng = clip["source_range"]
            clip["source_range"] = {**rng, "duration": _time(rng["duration"]["value"] - 5)}
        if i % 59 == 13:
            clip["media_references"] = {"DEFAULT_MEDIA": {
                "OTIO_SCHEMA": "ExternalReference.1", "target_url": f"file:///renders/v2/{i}.mov"}}
        if i % 67 == 17:
            clip["effects"] = [{"OTIO_SCHEMA": "Effect.1", "effect_name": "Grade"}]
        after_video.append(clip)
        if i % 40 == 23:
            after_video.append(_dissolve())
        if i % 89 == 29:
            after_video.append(_clip(f"pickup_{i:05d}", f"file:///media/pickups/{i}.mov", 0, 40))
        if i % 150 == 149 and moved:
            after_video.append(moved.pop(0))
    after_video.extend(moved)
    before_audio = [item for i, clip in enumerate(audio)
                    for item in ([clip, _gap(12)] if i % 3 else [clip])]
    after_audio = [clip for i, clip in enumerate(audio) if i % 71 != 3]
    titles = [_clip(f"title_{i}", f"file:///gfx/title_{i}.png", 0, 48) for i in range(3)]
    music = [_clip("score", "file:///music/score.wav", 0, 2400)]
    before = _timeline([_track("V1", "Video", before_video), _track("V2", "Video", titles),
                        _track("A1", "Audio", before_audio)])
    after = _timeline([_track("V1", "Video", after_video), _track("A1", "Audio", after_audio),
                       _track("A2", "Audio", music)])
    return before, after


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    sys.exit("report_scale: no chromium on PATH")


def browser_render_ms(page: Path, profile: str) -> float:
    result = subprocess.run(
        [chromium(), "--headless=new", "--no-sandbox", "--disable-gpu",
         f"--user-data-dir={profile}", "--window-size=1440,900", "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=300, check=True)
    found = re.search(r'data-render-ms="([0-9.]+)"', result.stdout)
    if not found:
        raise RuntimeError("the page did not finish drawing")
    return float(found.group(1))


STEP = """new Promise(function (done) {
  var view = document.getElementById('view'), started = performance.now();
  %s;
  requestAnimationFrame(function () { requestAnimationFrame(function () {
    done(performance.now() - started); }); });
})"""


def navigation_ms(page: Path, profile: str) -> Tuple[float, float]:
    """Time of one zoom step (x2) at the middle of the cut, and of one
    scroll step of a screen width, both at 64 times the whole-cut view."""
    browser = DevTools(page, Path(profile))
    try:
        for _ in range(5):
            browser.evaluate(STEP % "document.getElementById('zoom-in').click()")
        browser.evaluate(STEP % "view.scrollLeft = view.scrollWidth / 2")
        zoom = float(browser.evaluate(STEP % "document.getElementById('zoom-in').click()"))
        scroll = float(browser.evaluate(STEP % "view.scrollLeft += view.clientWidth"))
        return zoom, scroll
    finally:
        browser.close()


def main() -> None:
    sizes = [int(arg) for arg in sys.argv[1:]] or [2000, 20000]
    with tempfile.TemporaryDirectory() as tmp:
        for clips in sizes:
            before, after = make_pair(clips)
            started = time.perf_counter()
            page = render_report(before, after)
            python_ms = (time.perf_counter() - started) * 1000
            path = Path(tmp) / f"report-{clips}.html"
            path.write_text(page, encoding="utf-8")
            size = os.path.getsize(path)
            records = int(re.search(r'data-records="(\d+)"', page).group(1))  # type: ignore[union-attr]
            runs = [browser_render_ms(path, os.path.join(tmp, "profile")) for _ in range(3)]
            zoom, scroll = navigation_ms(path, os.path.join(tmp, "profile"))
            print(f"{clips:>6} clips per cut, {records} change records: {size / 1e6:.2f} MB, "
                  f"{size / clips:.0f} bytes per clip; render_report {python_ms:.0f} ms; "
                  f"page drawn in {min(runs):.0f} ms (best of 3; all {', '.join(f'{r:.0f}' for r in runs)}); "
                  f"zoom step {zoom:.0f} ms, scroll step {scroll:.0f} ms")


if __name__ == "__main__":
    main()
