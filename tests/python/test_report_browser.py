"""Change reports of OpenTimelineIO-built pairs, loaded in headless Chromium:
one data-op element per change record, connectors on moves, nothing
fetched from the network, and a screenshot that shows every kind."""

from __future__ import annotations

import collections
import json

import pytest

import tesmo
from tesmo_cli.report import render_report

from report_support import (EDITS, DevTools, chromium_binary, colours, edited_pair, load, screenshot,
                            workflow_pair)

pytest.importorskip("opentimelineio")
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


@pytest.mark.parametrize("case", CASES, ids=[" + ".join(case) for case in CASES])
def test_rendered_dom_has_one_mark_per_record(case, tmp_path):
    before, after = pair_for(case)
    expected = collections.Counter(change.op for change in tesmo.diff(before, after))
    page = tmp_path / "report.html"
    page.write_text(render_report(before, after), encoding="utf-8")
    loaded = load(page, tmp_path)

    assert loaded.root.get("data-render-ms"), "the page's script did not finish"
    assert collections.Counter(mark.op for mark in loaded.marks) == expected
    total = sum(expected.values())
    assert loaded.root["data-records"] == loaded.count_text == str(total)
    assert sorted(int(row["data-rec"]) for row in loaded.rows) == list(range(total))
    for mark in loaded.marks:
        # Every record is drawn: clip outlines, a transition marker or a lane frame.
        assert {"box", "transition", "lane"} & set(mark.inner), mark
        if mark.op == "moved":
            assert mark.inner.count("box") == 2 and "connector" in mark.inner
    assert loaded.requests == []


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
    page = tmp_path / "report.html"
    page.write_text(render_report(before, after, title=name, after_label=name), encoding="utf-8")
    loaded = load(page, tmp_path)
    assert [mark.op for mark in loaded.marks] == ["trimmed"]
    assert loaded.requests == []


# The fills of unchanged, trimmed, moved, replaced, effects-changed, added and
# removed clips.
FILLS = {"unchanged": (0xCB, 0xD2, 0xDA), "trimmed": (0xE6, 0x9F, 0x00),
         "moved": (0x56, 0xB4, 0xE9), "replaced": (0xCC, 0x79, 0xA7),
         "effects_changed": (0x00, 0x72, 0xB2), "added": (0x00, 0x9E, 0x73),
         "removed": (0xD5, 0x5E, 0x00), "transition": (0xF0, 0xE4, 0x42)}


def test_screenshot_of_the_workflow_report_shows_every_kind(tmp_path):
    page = tmp_path / "report.html"
    page.write_text(render_report(*workflow_pair()), encoding="utf-8")
    shot = tmp_path / "report.png"
    screenshot(page, shot, tmp_path)
    seen = colours(shot)
    assert len(seen) > 50, "the screenshot is nearly blank"
    assert {kind for kind, rgb in FILLS.items() if rgb not in seen} == set()


HOVER = """(function (op, which) {
  var box = document.querySelectorAll('[data-op=' + op + '] .box')[which].getBoundingClientRect();
  document.getElementById('lanes').dispatchEvent(new MouseEvent('mousemove', {
    clientX: box.left + box.width / 2, clientY: box.top + box.height / 2, bubbles: true}));
  var tip = document.getElementById('tip');
  return tip.hidden ? null : tip.innerText;
})"""
FRAME = "new Promise(function (done) { requestAnimationFrame(function () { requestAnimationFrame(done); }); })"


def test_hover_zoom_and_scroll(tmp_path):
    otio = pytest.importorskip("opentimelineio")
    before, after = workflow_pair()
    page = tmp_path / "report.html"
    page.write_text(render_report(before, after), encoding="utf-8")
    recut = otio.adapters.read_from_string(json.dumps(after), "otio_json")
    lighthouse = next(clip for clip in recut.tracks[0].find_clips() if clip.name == "lighthouse_dusk")
    source, record = lighthouse.source_range, lighthouse.range_in_parent()

    def timecode(time):
        return otio.opentime.to_timecode(time, 24)

    browser = DevTools(page, tmp_path / "profile")
    try:
        # Hovering the moved clip on the NEW lane names it, its media, its
        # source range in frames and timecode, and its record in and out.
        tip = browser.evaluate(HOVER + "('moved', 1)")
        assert tip.splitlines()[0] == "lighthouse_dusk"
        assert lighthouse.media_reference.target_url in tip
        start, end = source.start_time, source.end_time_exclusive()
        assert f"frames {start.value:g}\u2013{end.value:g}" in tip
        assert f"{timecode(start)} \u2013 {timecode(end)}" in tip
        assert f"in {timecode(record.start_time)} \u00b7 out {timecode(record.end_time_exclusive())}" in tip

        view = "document.getElementById('view')"
        width = f"parseFloat(document.getElementById('spacer').style.width)"
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
        browser.evaluate("document.querySelector('#changes tr[data-rec=\"4\"] td').click()")
        browser.evaluate(FRAME)
        mark = "document.querySelector('[data-rec=\"4\"][data-op]')"
        assert browser.evaluate(f"{mark}.getAttribute('data-op') + ' ' + {mark}.getAttribute('class')"
                                f" + ' ' + {mark}.getAttribute('display')") == "removed sel null"
    finally:
        browser.close()
