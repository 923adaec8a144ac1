"""The command's views of change records, on records written by hand: the
numbers and timecode of the text list, one line per kind of record, the
grouping by track label, the summary, and where --annotate puts a marker.
The same views run on the engine's own records in test_cli.py and
test_cli_otio.py."""

import math

import pytest

from otio_support import clip, rng, timeline, track, transition
from tesmo_cli import annotate, changes, kinds


def t(value, rate=24):
    return {"value": value, "rate": rate}


def span(start, duration, rate=24):
    return {"start_time": t(start, rate), "duration": t(duration, rate)}


def record(op, index=1, **members):
    """A clip record on V1 at position `index` (from 0) on both sides."""
    value = {"op": op, "track": "V1", "track_name": "", "kind": "video", "before_track": "V1",
             "after_track": "V1", "before_index": index, "after_index": index, "name": "interview",
             "media": "interview.mov", "record_in": t(48), "record_out": t(144)}
    value.update(members)
    return value


@pytest.mark.parametrize("value, text", [
    (4, "4"), (4.0, "4"), (-4.0, "-4"), (2.5, "2.5"), (1 / 3, "0.333"), (1e20, "100000000000000000000"),
    (1e-7, "0"), (-0.0001, "0"), (123456789.25, "123456789.25"), (math.nan, "?"), (math.inf, "?"),
    (None, "?"), (True, "?"),
])
def test_numbers_are_whole_or_fixed_decimals_never_exponents(value, text):
    assert changes.number(value) == text


@pytest.mark.parametrize("value, text", [(4, "+4"), (-4, "-4"), (0, "0"), (0.5, "+0.5"), (None, "?")])
def test_signed_counts_gain_positive(value, text):
    assert changes.signed(value) == text


@pytest.mark.parametrize("frames, rate, text", [
    (24, 24, "00:00:01:00"), (24, 23.976, "00:00:01:00"), (30, 29.97, "00:00:01:00"),
    (25 * 3600 + 25 * 61 + 3, 25, "01:01:01:03"), (-1, 24, "-00:00:00:01"), (47.6, 24, "00:00:02:00"),
    (100 * 3600 * 24, 24, "100:00:00:00"), (1, 0.2, "00:00:01:00"), (math.nan, 24, "??:??:??:??"),
])
def test_timecode_at_the_nearest_whole_rate(frames, rate, text):
    assert changes.timecode(frames, rate) == text


def transition_value(kind="SMPTE_Dissolve", frames=6):
    return {"name": "dissolve", "transition_type": kind, "in_offset": t(frames), "out_offset": t(frames)}


LINES = [
    (record("trimmed", head=4, tail=-24, before_range=span(10, 120), after_range=span(6, 100)),
     "clip 2 `interview`  trimmed head +4, tail -24: 120 -> 100 frames (00:00:05:00 -> 00:00:04:04)"),
    (record("trimmed", head=0, tail=2.5, before_range=span(0, 10, 25), after_range=span(0, 12.5, 25)),
     "clip 2 `interview`  trimmed tail +2.5: 10 -> 12.5 frames (00:00:00:10 -> 00:00:00:13)"),
    (record("trimmed", head=-3, tail=0, before_range=span(0, 48), after_range=span(3, 90, 48)),
     "clip 2 `interview`  trimmed head -3: 48 frames at 24 fps -> 90 frames at 48 fps"),
    (record("slipped", index=3, name="mymovie.mov", offset=240, before_range=span(0, 100),
            after_range=span(240, 100)),
     "clip 4 `mymovie.mov`  slipped 240 frames (source offset only), source in 00:00:00:00 -> 00:00:10:00"),
    (record("slipped", offset=-2, before_range=span(2, 10), after_range=span(0, 10)),
     "clip 2 `interview`  slipped -2 frames (source offset only), source in 00:00:00:02 -> 00:00:00:00"),
    (record("moved", before_index=0, after_index=2, record_in=t(144)),
     "clip 3 `interview`  moved from position 1, now at 00:00:06:00"),
    (record("moved", before_track="V2", before_index=4, after_index=0, record_in=t(0)),
     "clip 1 `interview`  moved from V2 position 5, now at 00:00:00:00"),
    (record("added", before_index=None, after_index=4, record_in=t(2.4e7)),
     "clip 5 `interview`  added at 277:46:40:00, interview.mov"),
    (record("added", before_index=None, after_index=0, name="", media=None, record_in=t(0)),
     "clip 1  added at 00:00:00:00, no media"),
    (record("removed", before_index=2, after_index=None, record_in=t(400)),
     "clip 3 `interview`  removed, was at 00:00:16:16, interview.mov"),
    (record("replaced", before_media="a.mov", after_media="b.mov"),
     "clip 2 `interview`  replaced: a.mov -> b.mov"),
    (record("effects_changed", before_effects=[], after_effects=["Blur", ""], added=["Blur", ""],
            removed=[]),
     "clip 2 `interview`  effects changed: none -> `Blur`, (unnamed)"),
    (record("renamed", name="b", before_name="a", after_name="b"), "clip 2 `b`  renamed `a` -> `b`"),
    (record("retimed", before_speed=1.0, after_speed=0.5), "clip 2 `interview`  retimed: speed 1 -> 0.5"),
    (record("enabled_changed", before_enabled=True, after_enabled=False), "clip 2 `interview`  disabled"),
    (record("enabled_changed", before_enabled=False, after_enabled=True), "clip 2 `interview`  enabled"),
    (record("markers_changed", before_markers=["todo"], after_markers=[], added=[], removed=["todo"]),
     "clip 2 `interview`  markers changed: `todo` -> none"),
    (record("metadata_changed", keys=["fcp", "notes"]),
     "clip 2 `interview`  metadata changed: `fcp`, `notes`"),
    (record("transition_added", index=2, name="dissolve", media=None, before_transition=None,
            after_transition=transition_value()),
     "cut after clip 2  transition added: SMPTE_Dissolve 6 + 6 frames"),
    (record("transition_removed", index=0, name="dissolve", media=None,
            before_transition=transition_value("SMPTE_Wipe", 3), after_transition=None),
     "cut before clip 1  transition removed: SMPTE_Wipe 3 + 3 frames"),
    (record("transition_changed", index=1, name="dissolve", media=None,
            before_transition=transition_value(), after_transition=transition_value(frames=12)),
     "cut after clip 1  transition changed: SMPTE_Dissolve 6 + 6 frames -> SMPTE_Dissolve 12 + 12 frames"),
    (record("track_added", index=None, kind="audio", before_track=None, name="Music", media=None,
            before_name=None, after_name="Music"), "audio track  added"),
    (record("track_renamed", index=None, name="Music", media=None, before_name="", after_name="Music"),
     "video track  renamed `` -> `Music`"),
    (record("frobnicated"), "clip 2 `interview`  frobnicated"),
    (record("removed", name="\x1b[2Jx\u202e", media="\x07.mov", after_index=None),
     "clip 2 `\\x1b[2Jx\\u202e`  removed, was at 00:00:02:00, \\x07.mov"),
]


@pytest.mark.parametrize("value, line", LINES, ids=[f"{n}-{v['op']}" for n, (v, _) in enumerate(LINES)])
def test_one_line_per_record(value, line):
    assert changes.record_lines([value], changes.Painter(False), indent="") == [line]
    # The same words, after the track, name a marker or a log entry.
    assert changes.describe(value) == "V1 " + line.replace("  ", " ", 1)


def test_lines_are_grouped_under_the_track_label_and_name():
    records = [
        record("trimmed", head=2, tail=0, before_range=span(0, 10), after_range=span(-2, 12)),
        record("added", track="V2", after_track="V2", before_track="V2", before_index=None,
               after_index=0),
        record("removed", track="A2", track_name="Music", kind="audio", after_track="A2",
               before_track="A1", after_index=None),
        record("track_removed", track="V3", track_name="titles", before_track="V3", after_track=None,
               before_index=None, after_index=None, name="titles"),
        record("replaced", index=3, before_media="a.mov", after_media="b.mov"),
        record("track_added", track="V3", track_name="", before_track=None, after_track="V3",
               before_index=None, after_index=None, name=""),
    ]
    lines = changes.change_lines(records, changes.Painter(False))
    assert lines == [
        "V1",
        "  clip 2 `interview`  trimmed head +2: 10 -> 12 frames (00:00:00:10 -> 00:00:00:12)",
        "  clip 4 `interview`  replaced: a.mov -> b.mov",
        "V2",
        "  clip 1 `interview`  added at 00:00:02:00, interview.mov",
        "A2 `Music`",
        "  clip 2 `interview`  removed, was at 00:00:02:00, interview.mov",
        "V3 `titles` (before)",
        "  video track         removed",
        "V3",
        "  video track         added",
    ]


def test_colour_of_each_kind_comes_from_the_shared_table():
    paint = changes.Painter(True)
    for op in ("trimmed", "removed", "transition_added"):
        line, = changes.record_lines([record(op)], paint)
        kind = kinds.BY_OP[op]
        assert f"\x1b[{kind.ansi}m{kind.one}\x1b[0m" in line
    heading = changes.change_lines([record("moved")], paint)[0]
    assert heading == "\x1b[1mV1\x1b[0m"


@pytest.mark.parametrize("ops, text", [
    ([], "no changes"),
    (["trimmed"], "1 change: 1 trimmed"),
    (["added", "slipped", "added", "transition_added", "transition_added", "track_removed"],
     "6 changes: 1 slipped, 2 added, 2 transitions added, 1 track removed"),
    (["frobnicated", "moved"], "2 changes: 1 moved, 1 frobnicated"),
])
def test_summary_counts_each_kind_in_the_table_order(ops, text):
    assert changes.summary([record(op) for op in ops]) == text


# --- markers ------------------------------------------------------------------

def cut():
    """V1: a gap, clip a, a transition, a nested stack, clip b, clip c; V2
    empty; A1 one clip. Clip positions count a, b and c only."""
    nested = {"OTIO_SCHEMA": "Stack.1", "children": [track("inner", clip("n", "n.mov", duration=20))],
              "source_range": rng(0, 20)}
    gap = {"OTIO_SCHEMA": "Gap.1", "source_range": rng(0, 10)}
    return timeline(track("", gap, clip("a", "a.mov", start=100, duration=48), transition(),
                          nested, clip("b", "b.mov", start=200, duration=24),
                          clip("c", "c.mov", start=300, duration=24)),
                    track("titles"),
                    track("", clip("m", "m.mov", duration=240), kind="Audio"))


def marks(document):
    """(where, op, marked range as (start, duration, rate)) of every marker."""
    found = []
    places = [("stack", document["tracks"])]
    for number, item in enumerate(document["tracks"]["children"]):
        places.append((f"track {number}", item))
        places += [(child.get("name"), child) for child in item["children"]]
    for where, item in places:
        for marker in item.get("markers", []):
            marked = marker["marked_range"]
            found.append((where, marker["metadata"]["tesmo"]["op"],
                          (marked["start_time"]["value"], marked["duration"]["value"],
                           marked["start_time"]["rate"])))
    return found


PLACES = [
    # A clip record: its after position among the track's clips, whole range.
    (record("trimmed", index=1), [("b", "trimmed", (200, 24, 24))]),
    (record("moved", before_index=0, after_index=2), [("c", "moved", (300, 24, 24))]),
    (record("added", track="A1", after_track="A1", after_index=0, before_index=None),
     [("m", "added", (0, 240, 24))]),
    # A removed clip: the clip now at its record_in, over the frames it covered.
    (record("removed", after_index=None, record_in=t(20), record_out=t(30)),
     [("a", "removed", (110, 10, 24))]),
    (record("removed", after_index=None, record_in=t(70), record_out=t(200)),
     [("b", "removed", (200, 24, 24))]),
    # ... past the end of the track: the last clip's last frame.
    (record("removed", after_index=None, record_in=t(500), record_out=t(510)),
     [("c", "removed", (323, 1, 24))]),
    # ... on a track with no clips: the track itself, at that time.
    (record("removed", track="V2", after_track="V2", after_index=None, record_in=t(5),
            record_out=t(29)), [("track 1", "removed", (5, 24, 24))]),
    # Transitions: the clip before the cut, at its last frame; the first
    # clip's first frame for a cut before every clip.
    (record("transition_added", index=1), [("a", "transition_added", (147, 1, 24))]),
    (record("transition_removed", before_index=3, after_index=0),
     [("a", "transition_removed", (100, 1, 24))]),
    # Tracks: an added or renamed one on itself, a removed one on the stack.
    (record("track_added", track="V2", after_track="V2", before_track=None, index=None),
     [("track 1", "track_added", (0, 0, 24))]),
    (record("track_renamed", track="A1", after_track="A1", index=None),
     [("track 2", "track_renamed", (0, 0, 24))]),
    (record("track_removed", track="V3", after_track=None, before_track="V3", index=None),
     [("stack", "track_removed", (0, 0, 24))]),
]


@pytest.mark.parametrize("value, expected", PLACES, ids=[f"{n}-{v['op']}" for n, (v, _) in enumerate(PLACES)])
def test_a_marker_goes_where_the_record_says(value, expected):
    document = cut()
    marked = annotate.annotate(document, [value])
    assert marks(marked) == expected
    assert document == cut()  # the input is left as it was


def test_a_marker_says_its_change_in_the_kind_colour():
    value = record("trimmed", name="a" * 100, head=2, tail=0, before_range=span(0, 10),
                   after_range=span(-2, 12))
    marker = annotate.annotate(cut(), [value])["tracks"]["children"][0]["children"][4]["markers"][0]
    assert marker["color"] == kinds.BY_OP["trimmed"].marker
    assert marker["comment"] == changes.describe(value)
    assert len(marker["name"]) == 80 and marker["name"] == marker["comment"][:77] + "..."
    assert marker["metadata"] == {"tesmo": value}
