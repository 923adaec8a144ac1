"""The change report's model and page, checked without a browser: record
positions against OpenTimelineIO's own layout, each change record placed on
the clips it names, and a page that holds everything it needs."""

from __future__ import annotations

import collections
import json
import re

import pytest

import tesmo
from tesmo_cli.report import OPS, build_model, render_report

otio = pytest.importorskip("opentimelineio")

from report_support import EDITS, base_cut, edited_pair, workflow_pair  # noqa: E402


def embedded_model(page):
    found = re.search(r'<script type="application/json" id="model">(.*?)</script>', page, re.S)
    assert found, "no model in the page"
    return json.loads(found.group(1))


def test_record_positions_follow_opentimelineio():
    timeline = base_cut()
    picture = timeline.tracks[0]
    # A clip without a source range lasts as long as its media's available range.
    picture.append(otio.schema.Clip(name="tail", media_reference=otio.schema.ExternalReference(
        target_url="file:///media/tail.mov", available_range=otio.opentime.TimeRange(
            otio.opentime.RationalTime(0, 24), otio.opentime.RationalTime(20, 24)))))
    value = json.loads(timeline.to_json_string())
    model = build_model(value, value)
    for (_, _, lane), track in zip(model["lanes"], timeline.tracks):
        clips = [item for item in track if isinstance(item, otio.schema.Clip)]
        transitions = [item for item in track if isinstance(item, otio.schema.Transition)]
        assert [c[0] for c in lane[4]] == [clip.name for clip in clips]
        assert [(c[5], c[6]) for c in lane[4]] == [
            (clip.range_in_parent().start_time.value, clip.range_in_parent().duration.value)
            for clip in clips]
        # A transition is drawn from in_offset before its cut to out_offset after it.
        assert [(t[1] - t[2], t[2] + t[3]) for t in lane[5]] == [
            (tr.range_in_parent().start_time.value, tr.range_in_parent().duration.value)
            for tr in transitions]
        assert lane[3] == track.duration().value


@pytest.mark.parametrize("active", ["DEFAULT_MEDIA", "proxy"])
def test_media_is_the_active_reference(active):
    def reference(url):
        return otio.schema.ExternalReference(target_url=url)

    def cut(proxy_url):
        timeline = otio.schema.Timeline(name="refs")
        track = otio.schema.Track(name="V1")
        clip = otio.schema.Clip(name="a", source_range=otio.opentime.TimeRange(
            otio.opentime.RationalTime(0, 24), otio.opentime.RationalTime(24, 24)))
        clip.set_media_references({"DEFAULT_MEDIA": reference("file:///full.mov"),
                                   "proxy": reference(proxy_url)}, active)
        track.append(clip)
        timeline.tracks.append(track)
        return json.loads(timeline.to_json_string())

    before, after = cut("file:///proxy.mov"), cut("file:///proxy_v2.mov")
    model = build_model(before, after)
    old, new = model["lanes"][0][1][4][0], model["lanes"][0][2][4][0]
    changes = [change.to_dict() for change in tesmo.diff(before, after)]
    if active == "proxy":
        # The module sees the same media as the drawing does.
        assert [c["op"] for c in changes] == ["replaced"]
        assert (changes[0]["before_media"], changes[0]["after_media"]) == (
            model["media"][old[1]], model["media"][new[1]])
    else:
        assert changes == [] and model["media"][old[1]] == model["media"][new[1]] == "file:///full.mov"


CASES = [(edit,) for edit in EDITS] + [
    ("move", "trim tail", "effects", "add transition", "delete", "insert", "replace media")]


@pytest.mark.parametrize("edits", CASES, ids=[" + ".join(case) for case in CASES])
def test_each_record_is_placed_on_what_it_names(edits):
    before, after = edited_pair(*edits)
    changes = [change.to_dict() for change in tesmo.diff(before, after)]
    model = build_model(before, after)
    assert len(model["records"]) == len(changes) > 0
    for change, record in zip(changes, model["records"]):
        op = OPS[record[0]]
        assert op == change["op"]
        _, old, new = model["lanes"][record[1]]
        if op in ("track_added", "track_removed"):
            lane = new if op == "track_added" else old
            assert (lane is None) == (op == "track_removed") or lane[0] == change["name"]
            assert (old is None, new is None) == (op == "track_added", op == "track_removed")
            continue
        assert change.get("track", change.get("from_track")) == (new[0] or old[0])
        if op in ("transition_added", "transition_removed"):
            lane, index = (new, record[5]) if op == "transition_added" else (old, record[4])
            assert lane[5][index][0] == change["name"]
            continue
        if op != "added":
            assert old[4][record[2]][0] == change["clip"]["name"]
        if op != "removed":
            assert new[4][record[3]][0] == change["clip"]["name"]
        if op == "moved":
            assert (record[2], record[3]) == (change["from_index"], change["to_index"])


@pytest.mark.parametrize("edit, head, tail", [("trim tail", 0, -32), ("trim head", -12, 0)])
def test_trims_give_frames_gained_and_cut(edit, head, tail):
    model = build_model(*edited_pair(edit))
    (record,) = model["records"]
    assert OPS[record[0]] == "trimmed" and (record[8], record[9]) == (head, tail)


def test_workflow_example_shows_all_ten_kinds():
    before, after = workflow_pair()
    page = render_report(before, after)
    model = embedded_model(page)
    ops = collections.Counter(OPS[record[0]] for record in model["records"])
    assert set(ops) == set(OPS)
    assert sum(ops.values()) == len(tesmo.diff(before, after))
    assert f'data-records="{sum(ops.values())}"' in page


def test_page_is_self_contained_and_names_stay_text():
    before, after = edited_pair()
    hostile = "</script><script>alert(1)</script><img src=http://127.0.0.1:9/x>"
    after["tracks"]["children"][0]["children"][0]["name"] = hostile
    after["tracks"]["children"][0]["children"][0]["source_range"]["duration"]["value"] = 30
    page = render_report(before, after, before_label="<v1>", title="A & B")
    assert page.startswith("<!DOCTYPE html>")
    assert "Content-Security-Policy" in page and "default-src 'none'" in page
    # Nothing is fetched: no src, href, url() or @import in the page's markup,
    # style or script (the model holds the names as JSON text).
    markup = re.sub(r'(<script type="application/json" id="model">).*?</script>', r"\1", page,
                    flags=re.S)
    assert not re.search(r"\s(src|href)\s*=|url\(|@import", markup)
    assert hostile not in page and "<title>A &amp; B</title>" in page and "&lt;v1&gt;" in page
    names = [clip[0] for clip in embedded_model(page)["lanes"][0][2][4]]
    assert hostile in names


@pytest.mark.parametrize("bad", [[], {"OTIO_SCHEMA": "Track.1"}, {"OTIO_SCHEMA": "Timeline.1"}])
def test_unreadable_timelines_raise(bad):
    with pytest.raises(tesmo.TesmoError):
        render_report(bad, edited_pair()[0])


@pytest.mark.parametrize("tracks", [0, 2])
def test_unchanged_cuts_give_an_empty_change_list(tracks):
    value = edited_pair()[0]
    del value["tracks"]["children"][tracks:]
    page = render_report(value, value)
    model = embedded_model(page)
    assert model["records"] == [] and 'data-records="0"' in page
    # Every track is still drawn, once on each side.
    assert [(lane[1][0], lane[2][0]) for lane in model["lanes"]] == [("V1", "V1"), ("A1", "A1")][:tracks]


@pytest.mark.parametrize("member, value", [
    ("duration", float("nan")), ("start_time", float("inf")), ("duration", 1e308), ("rate", 0)])
def test_irregular_times_still_give_a_page(member, value):
    before, after = edited_pair()
    time = after["tracks"]["children"][0]["children"][0]["source_range"]
    if member == "rate":
        time["duration"]["rate"] = value
    else:
        time[member]["value"] = value
    page = render_report(before, after)
    model = embedded_model(page)
    # The module reads a time that is not finite as no time at all, so
    # such a range may give no record; the clip is drawn all the same.
    assert len(model["records"]) == len(tesmo.diff(before, after))
    assert model["lanes"][0][2][4][0][0] == "open"
