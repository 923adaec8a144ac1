"""Change reports of OpenTimelineIO-built pairs, loaded in headless Chromium:
one data-op element per change record, connectors on moves, nothing
fetched from the network, and a screenshot that shows every kind."""

from __future__ import annotations

import collections

import pytest

import tesmo
from tesmo_cli.report import render_report

from report_support import (EDITS, chromium_binary, colours, edited_pair, load, screenshot,
                            workflow_pair)

pytest.importorskip("opentimelineio")
pytestmark = pytest.mark.skipif(chromium_binary() is None, reason="needs chromium")

CASES = [(edit,) for edit in EDITS] + [
    ("move", "trim head", "effects", "add transition", "remove track"),
    ("insert", "delete", "replace media", "remove transition", "add track"),
    ("workflow",),
]


def pair_for(case):
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
