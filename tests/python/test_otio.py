"""The diff on timelines built and edited with the OpenTimelineIO library,
handed over the way its users do: json.loads(timeline.to_json_string())."""

import copy
import json

import pytest

import tesmo
from otio_support import check, moved, payloads, ref, span, time

otio = pytest.importorskip("opentimelineio")
RT, TR = otio.opentime.RationalTime, otio.opentime.TimeRange
Video, Audio = otio.schema.TrackKind.Video, otio.schema.TrackKind.Audio

URL = {name: f"file:///media/{name.lower()}.mov" for name in ["Intro", "Interview", "B-roll"]}
MUSIC = "file:///media/score.wav"


def ext(name, url, start, duration, rate=24):
    return otio.schema.Clip(name=name, media_reference=otio.schema.ExternalReference(target_url=url),
                            source_range=TR(RT(start, rate), RT(duration, rate)))


def cut():
    """V1: Intro, Dissolve, Interview, gap, B-roll (one effect), Slate (offline,
    named reference), Title (offline, unnamed reference). A1: Music."""
    intro = ext("Intro", URL["Intro"], 0, 48)
    intro.markers.append(otio.schema.Marker(name="cue", marked_range=TR(RT(12, 24), RT(1, 24))))
    broll = ext("B-roll", URL["B-roll"], 12, 72)
    broll.effects.append(otio.schema.Effect(name="grade", effect_name="ColorCorrect"))
    slate = otio.schema.Clip(name="Slate", media_reference=otio.schema.MissingReference(
        name="slate-card"), source_range=TR(RT(0, 24), RT(24, 24)))
    title = otio.schema.Clip(name="Title", media_reference=otio.schema.MissingReference(),
                             source_range=TR(RT(0, 24), RT(36, 24)))
    v1 = otio.schema.Track(name="V1", kind=Video, children=[
        intro, otio.schema.Transition(name="Dissolve", in_offset=RT(6, 24), out_offset=RT(6, 24)),
        ext("Interview", URL["Interview"], 100, 240),
        otio.schema.Gap(source_range=TR(RT(0, 24), RT(24, 24))), broll, slate, title])
    a1 = otio.schema.Track(name="A1", kind=Audio,
                           children=[ext("Music", MUSIC, 0, 768000, rate=48000)])
    return otio.schema.Timeline(name="cut", tracks=[v1, a1])


def doc(timeline, **versions):
    if versions:
        return json.loads(otio.adapters.write_to_string(timeline, "otio_json",
                                                        target_schema_versions=versions))
    return json.loads(timeline.to_json_string())


INTRO, INTERVIEW, BROLL = (ref(n, URL[n]) for n in ["Intro", "Interview", "B-roll"])
SLATE, TITLE = ref("Slate", "ref-by-name:slate-card"), ref("Title", None)


def at(clip_ref, index, op, track="V1"):
    return {"clip": clip_ref, "index": index, "op": op, "track": track}


def replaced(clip_ref, before_media):
    return {"after_media": clip_ref["media_reference"], "before_media": before_media,
            "clip": clip_ref, "op": "replaced", "track": "V1"}


# --- edits with the library's API; t is a deep copy of cut(), v and a its tracks ---

def move_broll_to_front(t, v, a):
    v.insert(0, v.pop(4))


def swap_last_two(t, v, a):
    v.append(v.pop(5))


def trim_interview(t, v, a):
    v[2].source_range = TR(RT(110, 24), RT(200, 24))


def insert_clip(t, v, a):
    v.insert(3, ext("Cutaway", "file:///media/cutaway.mov", 5, 20))


def delete_interview(t, v, a):
    del v[2]


def replace_media(t, v, a):
    v[4].media_reference = otio.schema.ExternalReference(target_url="file:///media/b-roll-v2.mov")


def relink_slate(t, v, a):
    v[5].media_reference = otio.schema.ExternalReference(target_url="file:///media/slate.png")


def take_intro_offline(t, v, a):
    v[0].media_reference = otio.schema.MissingReference()


def switch_to_proxy(t, v, a):
    v[0].set_media_references({
        "DEFAULT_MEDIA": otio.schema.ExternalReference(target_url=URL["Intro"]),
        "proxy": otio.schema.ExternalReference(target_url="file:///proxy/intro.mov")}, "proxy")


def add_proxy_keep_default(t, v, a):
    v[0].set_media_references({
        "DEFAULT_MEDIA": otio.schema.ExternalReference(target_url=URL["Intro"]),
        "proxy": otio.schema.ExternalReference(target_url="file:///proxy/intro.mov")},
        "DEFAULT_MEDIA")


def add_effect(t, v, a):
    v[4].effects.append(otio.schema.Effect(name="blur", effect_name="Blur"))


def change_effect(t, v, a):
    v[4].effects[0].effect_name = "LUT"
    v[4].effects[0].metadata["lut"] = "film.cube"


def add_transition(t, v, a):
    v.insert(3, otio.schema.Transition(name="Wipe", in_offset=RT(3, 24), out_offset=RT(5, 24)))


def remove_transition(t, v, a):
    del v[1]


def retime_transition(t, v, a):
    v[1].in_offset = RT(12, 24)


def annotate(t, v, a):
    t.name = "cut v2"
    v[0].markers.append(otio.schema.Marker(name="note"))
    v[2].metadata["reviewed"] = True
    v.insert(3, otio.schema.Gap(source_range=TR(RT(0, 24), RT(12, 24))))


def rename_track_and_delete(t, v, a):
    v.name = "Picture"
    del v[6]


def rekind_audio(t, v, a):
    a.kind = Video


def add_track(t, v, a):
    t.tracks.append(otio.schema.Track(name="V2", kind=Video,
                                      children=[ext("Logo", "file:///media/logo.mov", 0, 24)]))


def remove_track(t, v, a):
    del t.tracks[1]


def move_to_audio_track(t, v, a):
    a.append(v.pop(4))


EDITS = [
    (move_broll_to_front, [moved(BROLL, 2, 0, after=INTRO, before=None)]),
    (swap_last_two, [moved(SLATE, 3, 4, after=None, before=TITLE)]),
    (trim_interview, [{"after": span(110.0, 200.0), "before": span(100.0, 240.0),
                       "clip": INTERVIEW, "op": "trimmed", "track": "V1"}]),
    (insert_clip, [at(ref("Cutaway", "file:///media/cutaway.mov"), 2, "added")]),
    (delete_interview, [at(INTERVIEW, 1, "removed")]),
    (replace_media, [replaced(ref("B-roll", "file:///media/b-roll-v2.mov"), URL["B-roll"])]),
    (relink_slate, [replaced(ref("Slate", "file:///media/slate.png"), "ref-by-name:slate-card")]),
    (take_intro_offline, [replaced(ref("Intro", None), URL["Intro"])]),
    (switch_to_proxy, [replaced(ref("Intro", "file:///proxy/intro.mov"), URL["Intro"])]),
    (add_proxy_keep_default, []),
    (add_effect, [{"after": 2, "before": 1, "clip": BROLL, "op": "effects_changed",
                   "track": "V1"}]),
    (change_effect, []),
    (add_transition, [{"between_after": BROLL, "between_before": INTERVIEW,
                       "duration": time(8.0), "name": "Wipe", "op": "transition_added",
                       "track": "V1"}]),
    (remove_transition, [{"between_after": INTERVIEW, "between_before": INTRO,
                          "name": "Dissolve", "op": "transition_removed", "track": "V1"}]),
    (retime_transition, []),
    (annotate, []),
    (rename_track_and_delete, [at(TITLE, 4, "removed", track="Picture")]),
    (rekind_audio, [{"kind": "audio", "name": "A1", "op": "track_removed"},
                    {"kind": "video", "name": "A1", "op": "track_added"}]),
    (add_track, [{"kind": "video", "name": "V2", "op": "track_added"}]),
    (remove_track, [{"kind": "audio", "name": "A1", "op": "track_removed"}]),
    (move_to_audio_track, [at(BROLL, 2, "removed"), at(BROLL, 1, "added", track="A1")]),
]
EDIT_IDS = [edit.__name__ for edit, _ in EDITS]


def edited(edit):
    timeline = cut()
    edit(timeline, timeline.tracks[0], timeline.tracks[1])
    return timeline


class TestDocuments:
    def test_written_in_current_schemas(self):
        track = doc(cut())["tracks"]["children"][0]
        assert [c["OTIO_SCHEMA"] for c in track["children"]] == [
            "Clip.2", "Transition.1", "Clip.2", "Gap.1", "Clip.2", "Clip.2", "Clip.2"]
        assert "media_reference" not in track["children"][0]
        assert track["children"][5]["media_references"]["DEFAULT_MEDIA"]["OTIO_SCHEMA"] == (
            "MissingReference.1")

    @pytest.mark.parametrize("edit", [None] + [e for e, _ in EDITS], ids=["cut"] + EDIT_IDS)
    def test_self_diff_empty(self, edit):
        timeline = cut() if edit is None else edited(edit)
        assert tesmo.diff(doc(timeline), doc(timeline)) == []
        assert tesmo.diff(doc(timeline), doc(copy.deepcopy(timeline))) == []

    def test_older_clip_schema_reads_alike(self):
        assert doc(cut(), Clip=1)["tracks"]["children"][0]["children"][0]["OTIO_SCHEMA"] == (
            "Clip.1")
        assert tesmo.diff(doc(cut(), Clip=1), doc(cut())) == []
        expected = [replaced(ref("Intro", "file:///proxy/intro.mov"), URL["Intro"])]
        check(payloads(doc(cut(), Clip=1), doc(edited(switch_to_proxy))), expected)

    def test_whole_cut_added_and_removed(self):
        empty = doc(otio.schema.Timeline(name="empty"))
        added = [{"kind": "video", "name": "V1", "op": "track_added"},
                 {"kind": "audio", "name": "A1", "op": "track_added"}]
        check(payloads(empty, doc(cut())), added)
        check(payloads(doc(cut()), empty), [dict(c, op="track_removed") for c in added])


class TestEdits:
    @pytest.mark.parametrize("edit, expected", EDITS, ids=EDIT_IDS)
    def test_edit(self, edit, expected):
        check(payloads(doc(cut()), doc(edited(edit))), expected)

    def test_every_kind_produced(self):
        ops = {c["op"] for _, expected in EDITS for c in expected}
        assert ops == {"track_added", "track_removed", "trimmed", "moved", "added", "removed",
                       "effects_changed", "replaced", "transition_added", "transition_removed"}

    def test_edits_combined(self):
        timeline = edited(trim_interview)
        for edit in [add_effect, replace_media, move_broll_to_front, add_track]:
            edit(timeline, timeline.tracks[0], timeline.tracks[1])
        timeline.tracks[0].insert(4, otio.schema.Transition(  # right after Interview
            name="Wipe", in_offset=RT(3, 24), out_offset=RT(5, 24)))
        broll = ref("B-roll", "file:///media/b-roll-v2.mov")
        # Clips now B-roll, Intro, Interview, Slate, Title; B-roll left the stable run.
        check(payloads(doc(cut()), doc(timeline)), [
            {"after": span(110.0, 200.0), "before": span(100.0, 240.0), "clip": INTERVIEW,
             "op": "trimmed", "track": "V1"},
            moved(broll, 2, 0, after=INTRO, before=None),
            {"after": 2, "before": 1, "clip": broll, "op": "effects_changed", "track": "V1"},
            replaced(broll, URL["B-roll"]),
            {"between_after": SLATE, "between_before": INTERVIEW, "duration": time(8.0),
             "name": "Wipe", "op": "transition_added", "track": "V1"},
            {"kind": "video", "name": "V2", "op": "track_added"},
        ])


class TestDiffRefs:
    def test_matches_diff_of_read_timelines(self, repo):
        ids = [repo.commit(doc(cut()), "cut")]
        for edit in [trim_interview, move_broll_to_front, remove_transition, add_track]:
            ids.append(repo.commit(doc(edited(edit)), edit.__name__))
        for before in ids:
            for after in ids:
                got = [(c.op, c.to_dict()) for c in repo.diff_refs(before, after)]
                assert got == [(c.op, c.to_dict()) for c in tesmo.diff(
                    repo.read_timeline(before), repo.read_timeline(after))]
                assert (got == []) == (before == after)

    def test_records_between_commits(self, repo):
        first = repo.commit(doc(cut()), "cut")
        repo.commit(doc(edited(remove_transition)), "no dissolve")
        check([c.to_dict() for c in repo.diff_refs(first, "HEAD")],
              [{"between_after": INTERVIEW, "between_before": INTRO, "name": "Dissolve",
                "op": "transition_removed", "track": "V1"}])
        assert repo.diff_refs("HEAD", "main") == []
