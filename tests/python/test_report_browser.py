"""Change reports of OpenTimelineIO-built pairs, loaded in headless Chromium:
one data-op element per change record, connectors between a clip's two
places, bands inside their clip, a timecode ruler, nothing fetched from the
network, a screenshot in the kinds' colours, and an FCP XML round trip."""

from __future__ import annotations

import collections
import json
from pathlib import Path

import pytest

import tesmo_cli
from tesmo_cli.kinds import BY_OP
from tesmo_cli.report import render_report

from report_support import (EDITS, DevTools, chromium_binary, colours, edited_pair, fcp_xml_pair, load,
                            ntsc_cut, read_timeline_file, screenshot, three_shots, workflow_pair)

otio = pytest.importorskip("opentimelineio")
pytestmark = pytest.mark.skipif(chromium_binary() is None, reason="needs chromium")

CASES = [(edit,) for edit in EDITS] + [
    ("move", "trim head", "effects", "add transition", "remove track"),
    ("insert", "delete", "replace media", "remove transition", "add track"),
    ("workflow",),
    ("no change",),
]


def pair_for(case):
    if case == ("no change",):
        return edited_pair()
    return workflow_pair() if case == ("workflow",) else edited_pair(*case)


def write(tmp_path, before, after, **options):
    page = tmp_path / "report.html"
    page.write_text(render_report(before, after, **options), encoding="utf-8")
    return page


def check_marks(loaded, changes):
    """One mark per record, each drawn, and the counts the page shows."""
    assert loaded.root.get("data-render-ms"), "the page's script did not finish"
    assert collections.Counter(mark.op for mark in loaded.marks) == collections.Counter(
        change["op"] for change in changes)
    total = len(changes)
    assert loaded.root["data-records"] == loaded.count_text == str(total)
    assert sorted(int(row["data-rec"]) for row in loaded.rows) == list(range(total))
    for mark, change in zip(loaded.marks, changes):
        # Every record is drawn: clip outlines, a transition marker or a lane frame.
        assert {"box", "transition", "lane"} & set(mark.inner), mark
        two_places = (change["before_index"] is not None and change["after_index"] is not None
                      and not change["op"].startswith("transition_"))
        if two_places and (change["op"] == "moved" or change["before_track"] != change["after_track"]):
            assert mark.inner.count("box") == 2 and "connector" in mark.inner
    assert loaded.requests == []


@pytest.mark.parametrize("case", CASES, ids=[" + ".join(case) for case in CASES])
def test_rendered_dom_has_one_mark_per_record(case, tmp_path):
    before, after = pair_for(case)
    changes = list(tesmo_cli.compare(before, after))
    check_marks(load(write(tmp_path, before, after), tmp_path), changes)


def test_requests_leaving_a_page_are_seen(tmp_path):
    """The network check above would catch a page that fetches."""
    page = tmp_path / "fetching.html"
    page.write_text('<!DOCTYPE html><img src="http://127.0.0.1:9/probe.png">'
                    '<script>fetch("https://example.invalid/data").catch(function () {});</script>')
    requests = load(page, tmp_path).requests
    assert "http://127.0.0.1:9/probe.png" in requests
    assert "https://example.invalid/data" in requests


def test_hostile_names_stay_text(tmp_path):
    before, after = edited_pair("trim tail")
    name = "</script><img src=http://127.0.0.1:9/name.png><script>document.body.remove()</script>"
    for track in (before, after):
        track["tracks"]["children"][0]["children"][0]["name"] = name
    loaded = load(write(tmp_path, before, after, title=name, after_label=name), tmp_path)
    assert [mark.op for mark in loaded.marks] == ["trimmed"]
    assert loaded.requests == []


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def test_screenshot_of_the_workflow_report_shows_the_kinds_colours(tmp_path):
    before, after = workflow_pair()
    changes = list(tesmo_cli.compare(before, after))
    shot = tmp_path / "report.png"
    screenshot(write(tmp_path, before, after), shot, tmp_path)
    seen = colours(shot)
    assert len(seen) > 50, "the screenshot is nearly blank"
    # The fill of every kind of clip change and the swatch of every other
    # kind, in the colour the one table of kinds gives it.
    wanted = {change["op"] for change in changes} | {"unchanged"}
    table = {op: rgb(BY_OP[op].colour) for op in wanted if op in BY_OP}
    table["unchanged"] = (0xCB, 0xD2, 0xDA)
    assert {op for op, value in table.items() if value not in seen} == set()


RECTS = """(function (selector) {
  return Array.prototype.map.call(document.querySelectorAll(selector), function (node) {
    var r = node.getBoundingClientRect();
    return {side: node.getAttribute('data-side'), left: r.left, right: r.right,
            cls: node.getAttribute('class'), op: node.closest('[data-op]').getAttribute('data-op')};
  });
})"""
FRAME = "new Promise(function (done) { requestAnimationFrame(function () { requestAnimationFrame(done); }); })"


@pytest.mark.parametrize("offset", [240, -240])
def test_slip_band_stays_between_its_neighbours(tmp_path, offset):
    """A 240-frame slip of a 48-frame shot between two others: its band
    covers at most the shot itself, on screen, at every zoom."""
    before, after = three_shots(), three_shots(("middle", offset, 0))
    changes = list(tesmo_cli.compare(before, after))
    assert [change["op"] for change in changes] == ["slipped"]
    browser = DevTools(write(tmp_path, before, after), tmp_path / "profile")
    try:
        for _ in range(3):
            boxes = browser.evaluate(RECTS + "('[data-op=slipped] .box')")
            bands = browser.evaluate(RECTS + "('[data-op=slipped] .band')")
            assert {box["side"] for box in boxes} == {band["side"] for band in bands} == {"before", "after"}
            for band in bands:
                (box,) = [box for box in boxes if box["side"] == band["side"]]
                assert box["left"] - 0.5 <= band["left"] < band["right"] <= box["right"] + 0.5
            browser.evaluate("document.getElementById('zoom-in').click()")
            browser.evaluate(FRAME)
    finally:
        browser.close()


def test_ruler_ticks_fall_on_timecode_at_23976(tmp_path):
    value = ntsc_cut()
    browser = DevTools(write(tmp_path, value, value, changes=[]), tmp_path / "profile")
    try:
        views = []
        for _ in range(4):
            (ticks,) = browser.evaluate("tesmoReport.ticks()")
            views.append(ticks)
            browser.evaluate("document.getElementById('zoom-in').click()")
            browser.evaluate(FRAME)
    finally:
        browser.close()
    # The whole cut (300 s at 23.976) shows ticks every 30 s of timecode.
    assert [label for _, label in views[0][:3]] == ["00:00:00:00", "00:00:30:00", "00:01:00:00"]
    for ticks in views:
        assert len(ticks) >= 3
        steps = {b[0] - a[0] for a, b in zip(ticks, ticks[1:])}
        assert len(steps) == 1 and steps.pop() % 24 == 0
        for frames, label in ticks:
            # Every label is the timecode of a whole frame count at 24.
            hours, minutes, seconds, frame = (int(part) for part in label.split(":"))
            assert ((hours * 60 + minutes) * 60 + seconds) * 24 + frame == frames
            assert frame == 0


HOVER = """(function (op, side) {
  var box = document.querySelector('[data-op=' + op + '] .box[data-side=' + side + ']').getBoundingClientRect();
  document.getElementById('lanes').dispatchEvent(new MouseEvent('mousemove', {
    clientX: box.left + box.width / 2, clientY: box.top + box.height / 2, bubbles: true}));
  var tip = document.getElementById('tip');
  return tip.hidden ? null : tip.innerText;
})"""


def test_hover_zoom_and_scroll(tmp_path):
    before, after = workflow_pair()
    changes = list(tesmo_cli.compare(before, after))
    page = write(tmp_path, before, after)
    recut = otio.adapters.read_from_string(json.dumps(after), "otio_json")
    lighthouse = next(clip for clip in recut.tracks[0].find_clips() if clip.name == "lighthouse_dusk")
    source, record = lighthouse.source_range, lighthouse.range_in_parent()

    def timecode(time):
        return otio.opentime.to_timecode(time, 24)

    removed = next(i for i, change in enumerate(changes) if change["op"] == "removed")
    browser = DevTools(page, tmp_path / "profile")
    try:
        # Hovering the moved clip on the after lane names it, its media, its
        # source range in timecode and frames, and its record in and out.
        tip = browser.evaluate(HOVER + "('moved', 'after')")
        assert tip.splitlines()[0] == "lighthouse_dusk"
        assert lighthouse.media_reference.target_url in tip
        start, end = source.start_time, source.end_time_exclusive()
        assert f"{timecode(start)} \u2013 {timecode(end)} ({source.duration.value:g} frames @ 24)" in tip
        assert f"in {timecode(record.start_time)} \u00b7 out {timecode(record.end_time_exclusive())}" in tip
        assert BY_OP["moved"].one in tip

        view = "document.getElementById('view')"
        width = "parseFloat(document.getElementById('spacer').style.width)"
        fit = browser.evaluate(width)
        browser.evaluate("document.getElementById('zoom-in').click(); document.getElementById('zoom-in').click()")
        browser.evaluate(f"{view}.dispatchEvent(new WheelEvent('wheel', {{deltaY: -347, ctrlKey: true,"
                         " clientX: 700, clientY: 300, bubbles: true, cancelable: true}))")
        assert browser.evaluate(width) > 7 * fit
        # Scrolled to the end, the removed clip near the start is out of view
        # and its mark hidden; the added track's frame stays.
        browser.evaluate(f"{view}.scrollLeft = {view}.scrollWidth")
        browser.evaluate(FRAME)
        shown = browser.evaluate("Array.prototype.map.call(document.querySelectorAll('[data-op]'),"
                                 " function (g) { return g.getAttribute('data-op') + ':' +"
                                 " (g.getAttribute('display') !== 'none'); })")
        assert "removed:false" in shown and "track_added:true" in shown
        # Selecting the removed clip's row highlights it and brings it into view.
        browser.evaluate(f"document.querySelector('#changes tr[data-rec=\"{removed}\"] td').click()")
        browser.evaluate(FRAME)
        mark = f"document.querySelector('[data-rec=\"{removed}\"][data-op]')"
        assert browser.evaluate(f"{mark}.getAttribute('data-op') + ' ' + {mark}.getAttribute('class')"
                                f" + ' ' + {mark}.getAttribute('display')") == "removed sel null"
        # The legend names unchanged transitions.
        assert "unchanged transition" in browser.evaluate("document.getElementById('legend').innerText")
    finally:
        browser.close()


def test_fcp_xml_round_trip(tmp_path):
    """Two cuts written as Final Cut Pro XML at 23.976 by the FCP adapter,
    read back through OpenTimelineIO, compared by the engine, drawn in
    the browser and labelled by their file names."""
    assembly, recut = fcp_xml_pair(tmp_path)
    before, after = read_timeline_file(assembly), read_timeline_file(recut)
    changes = list(tesmo_cli.compare(before, after))
    assert {"moved", "removed", "trimmed"} <= {change["op"] for change in changes}
    page = write(tmp_path, before, after, before_label=assembly, after_label=Path(recut), changes=changes)
    check_marks(load(page, tmp_path), changes)
    browser = DevTools(page, tmp_path / "profile")
    try:
        assert browser.evaluate("document.querySelector('.sub .sides').textContent") == \
            "assembly.xml \u2192 recut.xml"
        # Each lane's header names its side by the file name.
        headers = browser.evaluate("tesmoReport.lanes()")
        assert {side for _, side, _ in headers} == {"assembly.xml", "recut.xml"}
        for ticks in browser.evaluate("tesmoReport.ticks()"):
            assert all(label.endswith(":00") for _, label in ticks)
    finally:
        browser.close()
