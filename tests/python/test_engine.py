"""The comparison engine as Python sees it: tesmo_cli.compare and
tesmo_cli._engine.compare_timelines, their records, their failures, and
documents read through OpenTimelineIO's own adapters."""

import copy
import json

import pytest

import tesmo
import tesmo_cli
from tesmo_cli import _engine
from otio_support import GAP, clip, timeline, track, transition

COMMON = {"op", "track", "track_name", "kind", "before_track", "after_track",
          "before_index", "after_index", "name", "media", "record_in", "record_out"}


def shots(n, name="mymovie.mov", url="file:///mymovie.mov"):
    """Clips that all carry one file's name and media, from their own parts of it."""
    return [clip(name, url, start=100 * i, duration=48) for i in range(n)]


def summary(records):
    return [(r["op"], r["track"], r["before_index"], r["after_index"]) for r in records]


def edited(document, change):
    after = copy.deepcopy(document)
    change(after["tracks"]["children"])
    return after


BASE = timeline(track("", *shots(20)), track("", *shots(6, "tone.wav", "file:///tone.wav"), kind="Audio"))


def set_duration(tracks, t, i, frames):
    tracks[t]["children"][i]["source_range"]["duration"]["value"] = frames


def relink(tracks, t, i):
    tracks[t]["children"][i]["media_reference"]["target_url"] = "file:///other.mov"


def swap(tracks, t, i):
    items = tracks[t]["children"]
    items[i], items[i + 1] = items[i + 1], items[i]


@pytest.mark.parametrize("change, expected", [
    (lambda t: set_duration(t, 0, 3, 40), [("trimmed", "V1", 3, 3)]),
    (lambda t: t[0]["children"].pop(9), [("removed", "V1", 9, None)]),
    (lambda t: relink(t, 0, 16), [("replaced", "V1", 16, 16)]),
    (lambda t: swap(t, 0, 11), [("moved", "V1", 11, 12)]),
    (lambda t: set_duration(t, 1, 2, 10), [("trimmed", "A1", 2, 2)]),
    # Removal, relink and swap together on the one track.
    (lambda t: (t[0]["children"].pop(9), relink(t, 0, 15), swap(t, 0, 10)),
     [("removed", "V1", 9, None), ("moved", "V1", 12, 10), ("replaced", "V1", 16, 15)]),
], ids=["trim", "removal", "relink", "swap", "audio trim", "three edits"])
def test_each_edit_is_one_record_on_its_clip(change, expected):
    assert summary(tesmo_cli.compare(BASE, edited(BASE, change))) == expected


def test_records_carry_the_documented_members():
    after = edited(BASE, lambda t: (set_duration(t, 0, 3, 40), t[0]["children"].pop(9)))
    records = tesmo_cli.compare(BASE, after)
    assert [r["op"] for r in records] == ["trimmed", "removed"]
    for record in records:
        assert COMMON <= set(record)
    trim = records[0]
    assert (trim["head"], trim["tail"], trim["rate"]) == (0, -8, 24)
    assert trim["record_in"] == {"rate": 24, "value": 3 * 48}
    assert trim["record_out"] == {"rate": 24, "value": 3 * 48 + 40}
    assert trim["name"] == "mymovie.mov" and trim["media"] == "file:///mymovie.mov"
    # The removed clip's place is the before side's.
    assert records[1]["record_in"] == {"rate": 24, "value": 9 * 48}


def test_whole_frames_are_integers_in_every_record():
    after = edited(BASE, lambda t: t[0]["children"][0]["source_range"]["start_time"]
                   .update(value=1296550.0))
    (record,) = tesmo_cli.compare(BASE, after)
    assert record["op"] == "slipped"
    assert type(record["offset"]) is int and record["offset"] == 1296550
    assert json.dumps(record["offset"]) == "1296550"


def test_gaps_and_transitions_are_not_clips():
    before = timeline(track("V", clip("a", "a.mov"), GAP, transition("x"), clip("b", "b.mov")))
    after = copy.deepcopy(before)
    after["tracks"]["children"][0]["children"][3]["source_range"]["duration"]["value"] = 30
    (record,) = tesmo_cli.compare(before, after)
    assert (record["before_index"], record["after_index"]) == (1, 1)
    assert record["record_in"] == {"rate": 24, "value": 48 + 10}


def test_a_timeline_compared_with_itself_has_no_records():
    assert tesmo_cli.compare(BASE, copy.deepcopy(BASE)) == []


def test_documents_that_are_not_plain_dicts_compare_alike():
    class Doc(dict):
        pass

    after = edited(BASE, lambda t: set_duration(t, 0, 3, 40))
    assert tesmo_cli.compare(Doc(BASE), after) == tesmo_cli.compare(BASE, after)


@pytest.mark.parametrize("bad, message", [
    ([], "expected an object at the OTIO root"),
    ({"OTIO_SCHEMA": "Clip.2"}, "expected Timeline root, got Clip.2"),
    ({"OTIO_SCHEMA": "Timeline.1"}, "Timeline has no `tracks`"),
])
def test_failures_are_the_modules_tesmo_error(bad, message):
    with pytest.raises(tesmo.TesmoError, match=message):
        tesmo_cli.compare(bad, BASE)
    with pytest.raises(tesmo.TesmoError, match=message):
        tesmo_cli.compare(BASE, bad)


def test_the_tesmo_module_is_unchanged_by_the_engine():
    assert sorted(name for name in vars(tesmo) if not name.startswith("__")) == \
        ["Change", "Repo", "TesmoError", "diff"]


def test_compare_timelines_reads_each_stored_timeline_once(tmp_path):
    repo = tesmo.Repo.init(tmp_path)
    versions = [BASE,
                edited(BASE, lambda t: set_duration(t, 0, 3, 40)),
                edited(BASE, lambda t: (set_duration(t, 0, 3, 40), t[0]["children"].pop(9)))]
    ids = []
    for number, version in enumerate(versions):
        repo.commit(version, f"v{number}")
        ids.append(repo.read_commit("HEAD")["timeline"])
    found = _engine.compare_timelines(str(repo.root), ids)
    assert found == [tesmo_cli.compare(versions[0], versions[1]),
                     tesmo_cli.compare(versions[1], versions[2])]
    # From the first version's own tracks, emptied: every clip added.
    with_first = _engine.compare_timelines(str(repo.root), ids, from_empty=True)
    assert with_first[1:] == found
    assert [(r["op"], r["track"], r["after_index"]) for r in with_first[0]] == \
        [("added", "V1", i) for i in range(20)] + [("added", "A1", i) for i in range(6)]
    assert _engine.compare_timelines(str(repo.root), ids[:1]) == []
    assert _engine.compare_timelines(str(repo.root), [ids[0], ids[0]]) == [[]]
    with pytest.raises(tesmo.TesmoError):
        _engine.compare_timelines(str(repo.root), [ids[0], "0" * 64])


def test_premiere_export_labels_unnamed_tracks(tmp_path):
    otio = pytest.importorskip("opentimelineio")
    # Three unnamed video tracks and two audio tracks, as Premiere writes them.
    tl = otio.schema.Timeline(name="cut")
    rate = 24
    for kind, count in ((otio.schema.TrackKind.Video, 4), (otio.schema.TrackKind.Audio, 2)):
        for _ in range(count):
            tr = otio.schema.Track(kind=kind)
            for i in range(5):
                tr.append(otio.schema.Clip(
                    name="mymovie.mov",
                    media_reference=otio.schema.ExternalReference(
                        target_url="file:///mymovie.mov",
                        available_range=otio.opentime.TimeRange(otio.opentime.RationalTime(0, rate),
                                                                otio.opentime.RationalTime(1000, rate))),
                    source_range=otio.opentime.TimeRange(otio.opentime.RationalTime(100 * i, rate),
                                                         otio.opentime.RationalTime(48, rate))))
            tl.tracks.append(tr)
    path = tmp_path / "cut.xml"
    otio.adapters.write_to_file(tl, str(path), adapter_name="fcp_xml")
    read = otio.adapters.read_from_file(str(path), adapter_name="fcp_xml")
    before = json.loads(otio.adapters.write_to_string(read, "otio_json"))
    for index in (1, 3, 5):  # V2, V4 and A2
        track_ = read.tracks[index]
        clip_ = track_[2]
        clip_.source_range = otio.opentime.TimeRange(clip_.source_range.start_time,
                                                     otio.opentime.RationalTime(30, rate))
    after = json.loads(otio.adapters.write_to_string(read, "otio_json"))
    records = tesmo_cli.compare(before, after)
    assert [(r["op"], r["track"], r["after_index"]) for r in records] == \
        [("trimmed", "V2", 2), ("trimmed", "V4", 2), ("trimmed", "A2", 2)]
