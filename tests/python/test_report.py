"""The change report's model and page, checked without a browser: lane
layout against OpenTimelineIO's own, each of the engine's records placed
where its members say, bands inside their clip, the text change list's
words, signs and timecode, and a page built from the packaged assets."""

from __future__ import annotations

import collections
import json
import re
import warnings
from importlib import resources
from pathlib import Path, PurePosixPath

import pytest

import tesmo
import tesmo_cli
from tesmo_cli.kinds import KINDS
from tesmo_cli.report import build_model, detail, frames_text, render_report, side_label, timecode

otio = pytest.importorskip("opentimelineio")

from report_support import EDITS, base_cut, edited_pair, three_shots, workflow_pair  # noqa: E402

OPS = [kind.op for kind in KINDS]


def embedded_model(page):
    found = re.search(r'<script type="application/json" id="model">(.*?)</script>', page, re.S)
    assert found, "no model in the page"
    return json.loads(found.group(1))


def lanes(model, side):
    """label -> lane of one side (0 before, 1 after)."""
    return {row[0]: row[1 + side] for row in model["rows"] if row[1 + side] is not None}


def test_lane_layout_follows_opentimelineio():
    timeline = base_cut()
    picture = timeline.tracks[0]
    # A clip without a source range lasts as long as its media's available range.
    picture.append(otio.schema.Clip(name="tail", media_reference=otio.schema.ExternalReference(
        target_url="file:///media/tail.mov", available_range=otio.opentime.TimeRange(
            otio.opentime.RationalTime(0, 24), otio.opentime.RationalTime(20, 24)))))
    # A nested stack takes its time but is not one of the track's clips.
    nested = otio.schema.Stack(name="nest")
    inner = otio.schema.Track()
    inner.append(otio.schema.Clip(name="inside", source_range=otio.opentime.TimeRange(
        otio.opentime.RationalTime(0, 24), otio.opentime.RationalTime(30, 24))))
    nested.append(inner)
    picture.insert(2, nested)
    value = json.loads(timeline.to_json_string())
    model = build_model(value, value, changes=[])
    assert [row[0] for row in model["rows"]] == ["V1", "A1"]
    for (label, before, after), track in zip(model["rows"], timeline.tracks):
        assert before == after
        clips = [item for item in track if isinstance(item, otio.schema.Clip)]
        transitions = [item for item in track if isinstance(item, otio.schema.Transition)]
        assert [c[0] for c in after[4]] == [clip.name for clip in clips]
        assert [(c[5], c[6]) for c in after[4]] == [
            (clip.range_in_parent().start_time.value, clip.range_in_parent().duration.value)
            for clip in clips]
        # A transition is drawn from in_offset before its cut to out_offset after it.
        assert [(t[1] - t[2], t[2] + t[3]) for t in after[5]] == [
            (tr.range_in_parent().start_time.value, tr.range_in_parent().duration.value)
            for tr in transitions]
        assert after[3] == track.duration().value


def test_records_given_are_the_records_drawn():
    """With `changes` given the engine is not asked again: a differing pair
    drawn with no records has none, and hand-made records are drawn as given."""
    before, after = edited_pair("trim tail", "delete")
    assert embedded_model(render_report(before, after, changes=[]))["records"] == []
    record = {"op": "renamed", "track": "V1", "track_name": "V1", "kind": "video",
              "before_track": "V1", "after_track": "V1", "before_index": 4, "after_index": 3,
              "name": "bridge", "media": "file:///media/bridge.mov",
              "record_in": {"value": 158, "rate": 24}, "record_out": {"value": 218, "rate": 24},
              "before_name": "old bridge", "after_name": "bridge"}
    (drawn,) = build_model(before, after, changes=[record])["records"]
    assert OPS[drawn[0]] == "renamed" and drawn[1:5] == [0, 4, 0, 3]
    assert drawn[7] == "bridge" and drawn[8].startswith("old bridge \u2192 bridge")


@pytest.mark.parametrize("before_track, after_track, after_index, expected", [
    ("V9", "V1", 99, [-1, -1, 0, -1]),      # no V9, no 100th clip: placed by record time on V1
    (None, "A1", 0, [-1, -1, 1, 0]),        # only on the after side
    ("A1", None, 0, [1, 0, -1, -1]),        # only on the before side
])
def test_records_keep_the_places_they_name(before_track, after_track, after_index, expected):
    before, after = edited_pair()
    record = {"op": "added" if before_track is None else "removed" if after_track is None else "moved",
              "track": after_track or before_track, "before_track": before_track,
              "after_track": after_track, "before_index": 0 if before_track else None,
              "after_index": after_index if after_track else None, "name": "dialogue",
              "record_in": {"value": 48, "rate": 24}, "record_out": {"value": 132, "rate": 24}}
    (drawn,) = build_model(before, after, changes=[record])["records"]
    assert drawn[1:5] == expected
    assert (drawn[10], drawn[11]) == (2, 5.5)


def engine_records(before, after):
    return list(tesmo_cli.compare(before, after))


CASES = [(edit,) for edit in EDITS] + [
    ("move", "trim tail", "effects", "add transition", "delete", "insert", "replace media")]


@pytest.mark.parametrize("edits", CASES, ids=[" + ".join(case) for case in CASES])
def test_each_record_is_placed_where_its_members_say(edits):
    before, after = edited_pair(*edits)
    changes = engine_records(before, after)
    model = build_model(before, after)
    labels = [row[0] for row in model["rows"]]
    assert len(model["records"]) == len(changes) > 0
    for change, drawn in zip(changes, model["records"]):
        op = OPS[drawn[0]]
        assert op == change["op"]
        before_row, before_clip, after_row, after_clip, before_tr, after_tr = drawn[1:7]
        assert (labels[before_row] if before_row >= 0 else None) == change["before_track"]
        assert (labels[after_row] if after_row >= 0 else None) == change["after_track"]
        if op.startswith("track_"):
            continue
        if op.startswith("transition_"):
            for row, index, side, cut in ((before_row, before_tr, 1, change["before_index"]),
                                          (after_row, after_tr, 2, change["after_index"])):
                if cut is None:
                    assert index == -1
                    continue
                lane = model["rows"][row][side]
                # The transition sits on the cut after `cut` clips.
                cut_time = lane[5][index][1]
                clip_ends = [c[5] + c[6] for c in lane[4]]
                assert cut == sum(1 for end in clip_ends if end <= cut_time)
            continue
        assert (before_clip, after_clip) == (
            -1 if change["before_index"] is None else change["before_index"],
            -1 if change["after_index"] is None else change["after_index"])
        side, row, clip = (2, after_row, after_clip) if after_clip >= 0 else (1, before_row, before_clip)
        lane = model["rows"][row][side]
        drawn_clip = lane[4][clip]
        if op != "renamed":
            assert drawn_clip[0] == change["name"]
        # The engine's record time is where the view laid the clip out.
        record_in, record_out = change["record_in"], change["record_out"]
        if record_in is None or record_out is None:
            continue
        assert drawn_clip[5] / lane[2] == pytest.approx(record_in["value"] / record_in["rate"])
        assert (drawn_clip[5] + drawn_clip[6]) / lane[2] == pytest.approx(
            record_out["value"] / record_out["rate"])


@pytest.mark.parametrize("edit, band_side, style", [
    (("middle", 240, 0), None, 2),     # slipped later by far more than the clip's length
    (("middle", -240, 0), None, 2),    # slipped earlier
    (("middle", 0, -32), 0, 0),        # tail cut: shaded on the before clip
    (("middle", -12, 12), 1, 1),       # head gained: shaded on the after clip
    (("middle", 0, 200), 1, 1),        # tail gained, more than a neighbour's length
])
def test_bands_stay_inside_their_clip(edit, band_side, style):
    before, after = three_shots(), three_shots(edit)
    model = build_model(before, after)
    (record,) = [r for r in model["records"] if OPS[r[0]] in ("trimmed", "slipped")]
    bands = record[9]
    assert bands and all(band[4] == style for band in bands)
    assert band_side is None or {band[1] for band in bands} == {band_side}
    for row, side, start, end, _ in bands:
        lane = model["rows"][row][1 + side]
        clip = lane[4][record[2] if side == 0 else record[4]]
        clip_in, clip_out = clip[5], clip[5] + clip[6]
        assert clip_in <= start < end <= clip_out <= lane[3]
        # Never across a neighbour.
        for other in lane[4]:
            if other is not clip:
                assert end <= other[5] or start >= other[5] + other[6]


@pytest.mark.parametrize("record, expected", [
    ({"op": "trimmed", "head": 12, "tail": -32, "rate": 24,
      "before_range": {"start_time": {"value": 100, "rate": 24}, "duration": {"value": 48, "rate": 24}},
      "after_range": {"start_time": {"value": 88, "rate": 24}, "duration": {"value": 28, "rate": 24}}},
     "head +12, tail -32, 48 frames from 00:00:04:04 \u2192 28 frames from 00:00:03:16"),
    ({"op": "slipped", "offset": -240, "record_in": {"value": 720, "rate": 23.976}},
     "source -240 frames, record in 00:00:30:00"),
    ({"op": "moved", "before_track": "V2", "after_track": "V1", "before_index": 0, "after_index": 4},
     "V2 position 1 \u2192 V1 position 5"),
    ({"op": "retimed", "before_speed": 1.0, "after_speed": 0.5}, "speed 1x \u2192 0.5x"),
    ({"op": "effects_changed", "before_effects": [], "after_effects": ["blur", "grade"]},
     "none \u2192 blur, grade"),
    ({"op": "added", "media": "file:///a.mov", "after_index": 0,
      "record_in": {"value": 1e20, "rate": 24}},
     "file:///a.mov, at position 1, record in 1157407407407407:24:26:16"),
    ({"op": "transition_added", "after_index": 3, "record_in": {"value": 42, "rate": 24},
      "record_out": {"value": 54, "rate": 24},
      "before_transition": None, "after_transition": {
          "name": "mix", "transition_type": "SMPTE_Dissolve",
          "in_offset": {"value": 6, "rate": 24}, "out_offset": {"value": 6, "rate": 24}}},
     "none \u2192 SMPTE_Dissolve in 6 out 6, at the cut after clip 3, 00:00:01:18 to 00:00:02:06"),
    ({"op": "track_renamed", "before_name": "", "after_name": "dialogue"}, "(unnamed) \u2192 dialogue"),
    ({"op": "enabled_changed", "before_enabled": True, "after_enabled": False}, "disabled"),
    ({"op": "metadata_changed", "keys": ["cdl", "notes"]}, "keys cdl, notes"),
])
def test_detail_lines(record, expected):
    assert detail(record) == expected


@pytest.mark.parametrize("frames, rate, code", [
    (720, 24000 / 1001, "00:00:30:00"), (719, 23.976, "00:00:29:23"), (86400 * 25, 25, "24:00:00:00"),
    (-30, 30, "-00:00:01:00"), (float("nan"), 24, "??:??:??:??")])
def test_timecode_counts_at_the_nearest_whole_rate(frames, rate, code):
    assert timecode(frames, rate) == code


@pytest.mark.parametrize("value, text", [
    (24, "24"), (24.0, "24"), (2.5, "2.5"), (1e20, "100000000000000000000"), (-1e16, "-10000000000000000"),
    (1 / 3, "0.333"), (float("inf"), "?")])
def test_frame_counts_never_use_exponents(value, text):
    assert frames_text(value) == text


@pytest.mark.parametrize("label, shown", [
    (Path("/work/cuts/2024/harbour_recut_v12.otio"), "harbour_recut_v12.otio"),
    (PurePosixPath("relative/dir/"), "dir"),
    ("feature/recut", "feature/recut"),  # a ref keeps its slashes
    ("main~2", "main~2")])
def test_lane_labels(label, shown):
    assert side_label(label) == shown
    before, after = edited_pair("trim tail")
    page = render_report(before, after, before_label=label, after_label="HEAD", changes=[])
    assert embedded_model(page)["labels"] == [shown, "HEAD"]
    assert f'<span class="sides">{shown} \u2192 HEAD</span>' in page


def test_workflow_example_names_many_kinds():
    before, after = workflow_pair()
    changes = engine_records(before, after)
    page = render_report(before, after)
    model = embedded_model(page)
    ops = collections.Counter(OPS[record[0]] for record in model["records"])
    assert ops == collections.Counter(change["op"] for change in changes)
    assert {"trimmed", "moved", "replaced", "effects_changed", "added", "removed",
            "transition_added", "transition_removed", "track_added", "track_removed"} <= set(ops)
    assert f'data-records="{len(changes)}"' in page
    # The kinds travel with their words and colours from the one table.
    assert model["kinds"] == [[k.op, k.one, k.several, k.short, k.colour] for k in KINDS]


def test_page_is_built_from_the_packaged_assets():
    page = render_report(*edited_pair(), changes=[])
    assets = resources.files("tesmo_cli") / "assets"
    style = (assets / "report.css").read_text(encoding="utf-8")
    script = (assets / "report.js").read_text(encoding="utf-8")
    assert f"<style>{style}</style>" in page and f"<script>{script}</script>" in page
    # The older reading interface, deprecated since 3.11, finds the same
    # files: the assets are a package of their own.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert resources.read_text("tesmo_cli.assets", "report.js", encoding="utf-8") == script
    assert "{{" not in page.replace(script, "").replace(style, "")


def test_page_is_self_contained_and_names_stay_text():
    before, after = edited_pair()
    hostile = "</script><script>alert(1)</script><img src=http://127.0.0.1:9/x>{{model}}"
    after["tracks"]["children"][0]["children"][0]["name"] = hostile
    after["tracks"]["children"][0]["children"][0]["source_range"]["duration"]["value"] = 30
    page = render_report(before, after, before_label="<v1>", title="A & B {{script}}")
    assert page.startswith("<!DOCTYPE html>")
    assert "Content-Security-Policy" in page and "default-src 'none'" in page
    # Nothing is fetched: no src, href, url(http...) or @import in the page's
    # markup, style or script (the model holds the names as JSON text).
    markup = re.sub(r'(<script type="application/json" id="model">).*?</script>', r"\1", page,
                    flags=re.S)
    assert not re.search(r"\s(src|href)\s*=|url\((?!#)|@import", markup)
    assert hostile not in page and "<title>A &amp; B {{script}}</title>" in page and "&lt;v1&gt;" in page
    names = [clip[0] for clip in lanes(embedded_model(page), 1)["V1"][4]]
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
    assert [(row[0], row[1][0], row[2][0]) for row in model["rows"]] == [
        ("V1", "V1", "V1"), ("A1", "A1", "A1")][:tracks]


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
    assert len(model["records"]) == len(engine_records(before, after))
    assert lanes(model, 1)["V1"][4][0][0] == "open"
