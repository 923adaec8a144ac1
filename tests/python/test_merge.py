"""tesmo_cli.merge_timelines: the merge engine as Python sees it, on
timelines built with OpenTimelineIO and read back through its adapters."""

import copy
import json

import pytest

import tesmo
import tesmo_cli

otio = pytest.importorskip("opentimelineio")

RATE = 24


def span(start, duration):
    return otio.opentime.TimeRange(otio.opentime.RationalTime(start, RATE),
                                   otio.opentime.RationalTime(duration, RATE))


def shot(name, start=100, duration=48):
    reference = otio.schema.ExternalReference(target_url=f"/media/{name}.mov",
                                              available_range=span(0, 5000))
    return otio.schema.Clip(name=name, media_reference=reference, source_range=span(start, duration))


def base_cut():
    timeline = otio.schema.Timeline(name="reel 1")
    picture = otio.schema.Track(name="V1")
    for name in "abcdefg":
        picture.append(shot(name))
    sound = otio.schema.Track(name="A1", kind=otio.schema.TrackKind.Audio)
    for name in "wxyz":
        sound.append(shot(name, 0, 84))
    timeline.tracks.extend([picture, sound])
    return timeline


def document(timeline):
    return json.loads(timeline.to_json_string())


def merged_clips(document):
    """The clips of the first track of a timeline document."""
    track = document["tracks"]["children"][0]
    return [item for item in track["children"] if item["OTIO_SCHEMA"].startswith("Clip")]


def find(timeline, name):
    return next(c for c in timeline.find_clips() if c.name == name)


def trim_tail(name, frames):
    def edit(timeline):
        clip = find(timeline, name)
        clip.source_range = span(clip.source_range.start_time.value,
                                 clip.source_range.duration.value - frames)
    return edit


def trim_head(name, frames):
    def edit(timeline):
        clip = find(timeline, name)
        clip.source_range = span(clip.source_range.start_time.value + frames,
                                 clip.source_range.duration.value - frames)
    return edit


def relink(name, url):
    def edit(timeline):
        find(timeline, name).media_reference = otio.schema.ExternalReference(
            target_url=url, available_range=span(0, 5000))
    return edit


def remove(name):
    def edit(timeline):
        clip = find(timeline, name)
        clip.parent().remove(clip)
    return edit


def move_to_end(name):
    def edit(timeline):
        clip = find(timeline, name)
        track = clip.parent()
        track.remove(clip)
        track.append(clip)
    return edit


def insert_after(after, name):
    def edit(timeline):
        clip = find(timeline, after)
        track = clip.parent()
        track.insert(track.index(clip) + 1, shot(name, 0, 30))
    return edit


def speed(name, scalar):
    def edit(timeline):
        find(timeline, name).effects.append(otio.schema.LinearTimeWarp(time_scalar=scalar))
    return edit


def edited(*edits):
    timeline = base_cut()
    for edit in edits:
        edit(timeline)
    return document(timeline)


@pytest.mark.parametrize("ours, theirs", [
    ((trim_tail("b", 8),), (speed("b", 2.0),)),
    ((trim_head("c", 4),), (trim_tail("c", 6),)),
    ((move_to_end("a"),), (trim_tail("a", 10),)),
    ((remove("d"), insert_after("a", "n1")), (relink("f", "/media/f2.mov"), remove("y"))),
], ids=["trim and speed", "head and tail", "move and trim", "apart"])
def test_clean_merges_apply_both_sides(ours, theirs):
    base = edited()
    merged = tesmo_cli.merge_timelines(base, edited(*ours), edited(*theirs))
    assert merged.conflicts == [] and merged.warnings == []
    assert merged.timeline == edited(*ours, *theirs)
    # Whichever side is ours.
    assert tesmo_cli.merge_timelines(base, edited(*theirs), edited(*ours)).timeline == merged.timeline
    # Its records are those of both sides together.
    assert tesmo_cli.compare(base, merged.timeline) == tesmo_cli.compare(base, edited(*ours, *theirs))


# Each case: the positions in base, ours and theirs, then where the merged
# timeline holds the clip when ours is favored and when theirs is.
@pytest.mark.parametrize("ours, theirs, kind, positions, in_merged", [
    (trim_tail("c", 8), trim_tail("c", 4), "trim", (2, 2, 2), (2, 2)),
    (relink("e", "/media/e2.mov"), relink("e", "/media/e3.mov"), "media", (4, 4, 4), (4, 4)),
    (remove("d"), trim_head("d", 2), "removed_and_changed", (3, None, 3), (None, 3)),
    (insert_after("b", "n1"), insert_after("b", "n2"), "insert_order", (None, None, 2), (2, 2)),
], ids=["trim", "media", "removed and changed", "insert order"])
def test_conflicts_are_records_and_the_favored_side_holds(ours, theirs, kind, positions, in_merged):
    base, mine, other = edited(), edited(ours), edited(theirs)
    merged = tesmo_cli.merge_timelines(base, mine, other)
    assert [c["kind"] for c in merged.conflicts] == [kind]
    (conflict,) = merged.conflicts
    assert (conflict["base_index"], conflict["ours_index"], conflict["theirs_index"]) == positions
    assert conflict["track"] == "V1" and conflict["message"]
    assert set(conflict) == {"kind", "track", "base_index", "ours_index", "theirs_index",
                             "base", "ours", "theirs", "message", "merged_track", "merged_index"}
    assert merged.timeline == mine
    for favor, index in zip(("ours", "theirs"), in_merged):
        (placed,) = tesmo_cli.merge_timelines(base, mine, other, favor=favor).conflicts
        assert (placed["merged_track"], placed["merged_index"]) == (
            ("V1", index) if index is not None else (None, None))
        if index is not None:
            held = merged_clips(tesmo_cli.merge_timelines(base, mine, other, favor=favor).timeline)
            favored = placed["ours"] if favor == "ours" else placed["theirs"]
            # A whole clip, or the one member of it that conflicted.
            assert held[index] == favored or favored in held[index].values()
    assert tesmo_cli.merge_timelines(base, mine, other, favor="theirs").timeline == other


def test_merge_through_an_exchange_format(tmp_path):
    """Two recuts of one FCP XML export, each read back through the adapter."""
    pytest.importorskip("otio_fcp_adapter")
    paths = {}
    for name, edits in (("base", ()), ("ours", (trim_tail("b", 8),)), ("theirs", (remove("f"),))):
        timeline = base_cut()
        for edit in edits:
            edit(timeline)
        paths[name] = tmp_path / f"{name}.xml"
        otio.adapters.write_to_file(timeline, str(paths[name]))
    read = {name: document(otio.adapters.read_from_file(str(path))) for name, path in paths.items()}
    merged = tesmo_cli.merge_timelines(read["base"], read["ours"], read["theirs"])
    assert merged.conflicts == []
    assert [(r["op"], r["track"], r["before_index"]) for r in tesmo_cli.compare(read["base"], merged.timeline)] \
        == [("trimmed", "V1", 1), ("removed", "V1", 5)]


def test_unknown_members_survive():
    base = edited()
    ours, theirs = copy.deepcopy(base), copy.deepcopy(base)
    ours["metadata"] = {"studio": {"show": "Harbour"}}
    theirs["tracks"]["children"][0]["children"][2]["color"] = "RED"
    merged = tesmo_cli.merge_timelines(base, ours, theirs)
    assert merged.conflicts == []
    assert merged.timeline["metadata"] == {"studio": {"show": "Harbour"}}
    assert merged.timeline["tracks"]["children"][0]["children"][2]["color"] == "RED"


@pytest.mark.parametrize("args, error", [
    (({"OTIO_SCHEMA": "Clip.2"}, None, None), tesmo.TesmoError),
    ((None, {}, None), tesmo.TesmoError),
    ((None, None, None, "mine"), ValueError),
])
def test_failures(args, error):
    base = edited()
    filled = [base if a is None else a for a in args[:3]] + list(args[3:])
    with pytest.raises(error):
        tesmo_cli.merge_timelines(*filled)


def random_edits(rng, document, count, names):
    """`count` edits of random kinds on the clips named in `names`, each
    clip edited once: trims of either edge, relinks, effects, removals,
    moves and insertions next to them."""
    doc = copy.deepcopy(document)
    for name in rng.sample(names, count):
        items = doc["tracks"]["children"][0]["children"]
        index = next(i for i, c in enumerate(items) if c.get("name") == name)
        clip_ = items[index]
        kind = rng.choice(["head", "tail", "relink", "effect", "remove", "move", "insert"])
        if kind in ("head", "tail"):
            source = clip_["source_range"]
            frames = rng.randint(1, 10)
            if kind == "head":
                source["start_time"]["value"] += frames
            source["duration"]["value"] -= frames
        elif kind == "relink":
            reference = clip_["media_references"][clip_["active_media_reference_key"]]
            reference["target_url"] += ".v2"
        elif kind == "effect":
            clip_["effects"] = [{"OTIO_SCHEMA": "Effect.1", "name": "grade", "effect_name": "Grade"}]
        elif kind == "remove":
            del items[index]
        elif kind == "move":
            del items[index]
            items.insert(rng.randrange(len(items) + 1), clip_)
        else:
            items.insert(index + 1, document_clip(f"{name}-pickup"))
    return doc


def document_clip(name):
    return document(otio.schema.Timeline(tracks=[otio.schema.Track(children=[shot(name)])]))[
        "tracks"]["children"][0]["children"][0]


@pytest.mark.parametrize("seed", range(40))
def test_exactness_over_random_edits(seed):
    import random

    rng = random.Random(seed)
    timeline_ = otio.schema.Timeline(name="random")
    picture = otio.schema.Track(name="V1")
    names = [f"shot{i:02d}" for i in range(30)]
    for i, name in enumerate(names):
        picture.append(shot(name, 100 * i, 48))
    timeline_.tracks.append(picture)
    base = document(timeline_)
    # Each side edits its own clips, so the merge is clean.
    rng.shuffle(names)
    ours = random_edits(rng, base, 6, names[:15])
    theirs = random_edits(rng, base, 6, names[15:])
    for side in (ours, theirs):
        assert tesmo_cli.merge_timelines(base, side, base).timeline == side
        assert tesmo_cli.merge_timelines(base, base, side).timeline == side
        assert tesmo_cli.merge_timelines(base, side, side).timeline == side
    merged = tesmo_cli.merge_timelines(base, ours, theirs)
    swapped = tesmo_cli.merge_timelines(base, theirs, ours)
    # Clips put at one place by both sides (an insertion or a move next to
    # the same clip) are the only conflicts edits of different clips meet.
    assert {c["kind"] for c in merged.conflicts} <= {"insert_order"}
    assert len(swapped.conflicts) == len(merged.conflicts)
    if merged.conflicts:
        return
    assert merged.timeline == swapped.timeline
    # Every edit of either side is in the result: the clips each side
    # changed hold that side's version.
    result = {c.get("name"): c for c in merged.timeline["tracks"]["children"][0]["children"]}
    for side in (ours, theirs):
        base_clips = {c["name"]: c for c in base["tracks"]["children"][0]["children"]}
        for clip_ in side["tracks"]["children"][0]["children"]:
            if base_clips.get(clip_["name"]) != clip_:
                assert result.get(clip_["name"]) == clip_, (seed, clip_["name"])
