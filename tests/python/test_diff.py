"""The semantic diff from Python on hand-written OTIO documents: tesmo.diff,
tesmo.Change and Repo.diff_refs. The documents and expected payloads come
from otio_support; `check` compares the repr too, so key order, int versus
float and None all count.
"""

import collections.abc
import sys

import pytest

import tesmo
from otio_support import (GAP, Pairs, check, clip, clip2, external, moved, payloads, placed, ref,
                          replaced, rng, rt, span, tesmo_error, time, timeline, track, transition,
                          trimmed, v1)

A, B, C, X, Y, Z = (clip(n, f"{n.lower()}.mov") for n in "ABCXYZ")


# One edit that yields all ten kinds, with the records worked out by hand:
# V1 pairs by name; A becomes A' (new media, trimmed, one effect) and moves
# behind B (stable set {B}); C and D go, E comes, a transition follows A'.
# V2 loses the transition after P. A1 has no partner; S is a new "other" track.
EVERY_KIND_BEFORE = timeline(
    track("A1", clip("M", "m.wav"), kind="Audio"),
    track("V1", A, B, C, clip("D", "d.mov")),
    track("V2", clip("P", "p.mov"), transition("T2"), clip("Q", "q.mov")),
)
EVERY_KIND_AFTER = timeline(
    track("V1", B, clip("A", "a2.mov", 10, 40, effects=1),
          transition("Dissolve", rt(6), rt(6)), clip("E", "e.mov")),
    track("V2", clip("P", "p.mov"), clip("Q", "q.mov")),
    track("S", kind="Subtitle"),
)
A2 = ref("A", "a2.mov")
EVERY_KIND = [
    trimmed(A2, span(0.0, 48.0), span(10.0, 40.0)),
    moved(A2, 0, 1, after=ref("E", "e.mov"), before=ref("B", "b.mov")),
    {"after": 1, "before": 0, "clip": A2, "op": "effects_changed", "track": "V1"},
    replaced(A2, "a.mov", "a2.mov"),
    placed("removed", ref("C", "c.mov"), 2),
    placed("removed", ref("D", "d.mov"), 3),
    placed("added", ref("E", "e.mov"), 2),
    {"between_after": ref("E", "e.mov"), "between_before": A2, "duration": time(12.0),
     "name": "Dissolve", "op": "transition_added", "track": "V1"},
    {"between_after": ref("Q", "q.mov"), "between_before": ref("P", "p.mov"), "name": "T2",
     "op": "transition_removed", "track": "V2"},
    {"kind": "audio", "name": "A1", "op": "track_removed"},
    {"kind": "other", "name": "S", "op": "track_added"},
]
ALL_OPS = {"track_added", "track_removed", "trimmed", "moved", "added", "removed",
           "effects_changed", "replaced", "transition_added", "transition_removed"}


class TestSurface:
    def test_keywords_equal_positional(self):
        by_keyword = tesmo.diff(after=EVERY_KIND_AFTER, before=EVERY_KIND_BEFORE)
        check([c.to_dict() for c in by_keyword], EVERY_KIND)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((v1(),), {}, "diff() missing 1 required positional argument: 'after'"),
            ((), {}, "diff() missing 2 required positional arguments: 'before' and 'after'"),
            ((v1(), v1(), v1()), {}, "diff() takes 2 positional arguments but 3 were given"),
            ((v1(),), {"before": v1()}, "diff() got multiple values for argument 'before'"),
            ((v1(),), {"after": v1(), "extra": 1},
             "diff() got an unexpected keyword argument 'extra'"),
        ],
        ids=["missing-after", "missing-both", "too-many", "repeated", "unexpected"],
    )
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            tesmo.diff(*args, **kwargs)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (message,)


class TestReaderErrors:
    GOOD = v1(A)

    @pytest.mark.parametrize(
        "document, message",
        [
            (5, "expected an object at the OTIO root"),
            ([timeline()], "expected an object at the OTIO root"),
            (None, "expected an object at the OTIO root"),
            ({}, "expected Timeline root, got "),
            ({"OTIO_SCHEMA": 1, "tracks": {"children": []}}, "expected Timeline root, got "),
            ({"OTIO_SCHEMA": "Timeline", "tracks": {"children": []}},
             "expected Timeline root, got Timeline"),
            ({"OTIO_SCHEMA": "timeline.1"}, "expected Timeline root, got timeline.1"),
            ({"OTIO_SCHEMA": "Stack.1", "children": []}, "expected Timeline root, got Stack.1"),
            ({"OTIO_SCHEMA": "Timeline.1"}, "Timeline has no `tracks`"),
            ({"OTIO_SCHEMA": "Timeline.1", "tracks": []}, "expected the top stack to be an object"),
            ({"OTIO_SCHEMA": "Timeline.1", "tracks": None},
             "expected the top stack to be an object"),
            ({"OTIO_SCHEMA": "Timeline.1", "tracks": {}}, "stack has no `children` array"),
            ({"OTIO_SCHEMA": "Timeline.1", "tracks": {"children": {}}},
             "stack has no `children` array"),
        ],
        ids=["int", "list", "none", "empty", "schema-int", "no-dot", "lower-case", "stack-root",
             "no-tracks", "tracks-list", "tracks-null", "no-children", "children-object"],
    )
    @pytest.mark.parametrize("side", ["before", "after"])
    def test_root_errors(self, document, message, side):
        args = (document, self.GOOD) if side == "before" else (self.GOOD, document)
        assert tesmo_error(lambda: tesmo.diff(*args)) == (message,)

    def test_first_problem_reported(self):
        document = {"tracks": []}
        assert tesmo_error(lambda: tesmo.diff(document, self.GOOD)) == (
            "expected Timeline root, got ",)

    def test_before_read_first(self):
        assert tesmo_error(lambda: tesmo.diff({}, 5)) == ("expected Timeline root, got ",)

    @pytest.mark.parametrize(
        "before, after",
        [(GOOD, object()), (object(), GOOD), ({}, object())],
        ids=["after", "before", "after-converted-before-before-read"],
    )
    def test_conversion_errors(self, before, after):
        assert tesmo_error(lambda: tesmo.diff(before, after)) == ("unsupported type object",)

    @pytest.mark.parametrize("schema", ["Timeline.1", "Timeline.2", "Timeline.99"])
    def test_timeline_versions_accepted(self, schema):
        check(payloads(v1(A), timeline(track("V1", A, B), schema=schema)),
              [placed("added", ref("B", "b.mov"), 1)])


class Hook(collections.abc.Mapping):
    """An empty mapping that is not a dict, so the diff converts the document
    holding it, running `action` when the conversion lists its keys."""

    def __init__(self, action):
        self.action = action

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        self.action()
        return iter(())

    def __len__(self):
        return 0


def with_metadata(document, value):
    return dict(document, metadata={"x": value})


class TestConversionOrder:
    """Plain documents are read from their objects and others converted; the
    first document is done before the second, and a plain document that does
    not convert is refused before any of the caller's code runs after it."""

    @pytest.mark.parametrize(
        "before, after, message, ran",
        [
            (2**64, "hook", "JSON number out of range", []),
            ("hook", 2**64, "JSON number out of range", ["before"]),
            (None, 2**64, "JSON number out of range", []),
            (2**64, object(), "JSON number out of range", []),
            (2**64, 2**200, "JSON number out of range", []),
            (object(), "hook", "unsupported type object", []),
            (None, "\ud800", "UnicodeEncodeError: 'utf-8' codec can't encode character "
             "'\\ud800' in position 0: surrogates not allowed", []),
        ],
        ids=["plain-refused-then-hook", "hook-then-plain-refused", "plain-then-plain-refused",
             "plain-refused-then-other", "both-plain-refused", "other-refused-then-hook",
             "plain-then-surrogate"],
    )
    def test_first_refusal_reported(self, before, after, message, ran):
        calls = []

        def make(value, side):
            if value == "hook":
                value = Hook(lambda: calls.append(side))
            return with_metadata(v1(A), value)

        assert tesmo_error(lambda: tesmo.diff(make(before, "before"), make(after, "after"))) == (
            message,)
        assert sorted(set(calls)) == ran

    def test_second_changing_the_first_after_it_is_read(self):
        before = v1(A)

        def add_track():
            if len(before["tracks"]["children"]) == 1:
                before["tracks"]["children"].append(track("V2", B))

        assert tesmo.diff(before, with_metadata(v1(A), Hook(add_track))) == []
        assert len(before["tracks"]["children"]) == 2

    def test_first_changing_the_second_before_it_is_read(self):
        after = v1(A)

        def add_track():
            if len(after["tracks"]["children"]) == 1:
                after["tracks"]["children"].append(track("V2", B))

        changes = tesmo.diff(with_metadata(v1(A), Hook(add_track)), after)
        assert [change.op for change in changes] == ["track_added"]


class TestTracks:
    def test_added_tracks_carry_no_clip_records(self):
        full = timeline(track("V1", A, B), track("A1", clip("M", "m.wav"), kind="Audio"))
        check(payloads(timeline(), full), [{"kind": "video", "name": "V1", "op": "track_added"},
                                           {"kind": "audio", "name": "A1", "op": "track_added"}])
        check(payloads(full, timeline()), [{"kind": "video", "name": "V1", "op": "track_removed"},
                                           {"kind": "audio", "name": "A1", "op": "track_removed"}])

    @pytest.mark.parametrize(
        "kind, text",
        [("Video", "video"), ("VIDEO", "video"), ("aUdIo", "audio"), ("Video ", "other"),
         ("Subtitle", "other"), (3, "other"), (None, "other"), ("absent", "other")],
        ids=["Video", "VIDEO", "aUdIo", "trailing-space", "Subtitle", "number", "null", "absent"],
    )
    def test_kind(self, kind, text):
        added = track("T", A, kind=kind)
        if kind == "absent":
            del added["kind"]
        check(payloads(timeline(), timeline(added)),
              [{"kind": text, "name": "T", "op": "track_added"}])

    def test_non_string_name_is_empty(self):
        added = track(7)
        check(payloads(timeline(), timeline(added)),
              [{"kind": "video", "name": "", "op": "track_added"}])

    def test_stack_children_filtered(self):
        children = [track("V1"), dict(track("A", kind="Audio"), OTIO_SCHEMA="Track"),
                    dict(track("x"), OTIO_SCHEMA="track.1"),
                    {"OTIO_SCHEMA": "Stack.1", "name": "s", "children": [track("in")]},
                    {"name": "no schema", "kind": "Video"}, "Track.1", 7, None]
        after = timeline()
        after["tracks"]["children"] = children
        check(payloads(timeline(), after), [{"kind": "video", "name": "V1", "op": "track_added"},
                                            {"kind": "audio", "name": "A", "op": "track_added"}])

    @pytest.mark.parametrize("children", ["absent", {}], ids=["absent", "object"])
    def test_track_without_children_array_still_pairs(self, children):
        empty = track("V1")
        if children == "absent":
            del empty["children"]
        else:
            empty["children"] = children
        assert tesmo.diff(timeline(empty), timeline(empty)) == []
        check(payloads(timeline(empty), v1(A)), [placed("added", ref("A", "a.mov"), 0)])


class TestClips:
    def test_every_kind_in_order(self):
        check(payloads(EVERY_KIND_BEFORE, EVERY_KIND_AFTER), EVERY_KIND)

    def test_gaps_between_clips_change_nothing(self):
        filler = {"OTIO_SCHEMA": "Filler", "name": "f"}
        assert tesmo.diff(v1(A, B, C), v1(GAP, A, GAP, B, filler, C)) == []

    @pytest.mark.parametrize(
        "before, after, expected",
        [
            ((A, B, C, X), (X, C, B, A), [
                moved(ref("A", "a.mov"), 0, 3, before=ref("B", "b.mov")),
                moved(ref("B", "b.mov"), 1, 2, after=ref("A", "a.mov"), before=ref("C", "c.mov")),
                moved(ref("C", "c.mov"), 2, 1, after=ref("B", "b.mov"), before=ref("X", "x.mov")),
            ]),
            ((clip("Outro"), X, clip("Intro", "M")), (clip("Intro", "M"), clip("Outro"), X),
             [moved(ref("Intro", "M"), 2, 0, after=ref("Outro"))]),
        ],
        ids=["reversed", "neighbor-without-media"],
    )
    def test_moves(self, before, after, expected):
        check(payloads(v1(*before), v1(*after)), expected)

    def test_moved_clip_gaining_transition(self):
        before = v1(X, Y, clip("R", "r.mov"))
        after = v1(Y, X, transition(), clip("N", "n.mov"))
        check(payloads(before, after), [
            moved(ref("X", "x.mov"), 0, 1, after=ref("N", "n.mov"), before=ref("Y", "y.mov")),
            placed("removed", ref("R", "r.mov"), 2),
            placed("added", ref("N", "n.mov"), 2),
            {"between_after": ref("N", "n.mov"), "between_before": ref("X", "x.mov"),
             "duration": time(12.0), "name": "T", "op": "transition_added", "track": "V1"},
        ])

    def test_effects_count(self):
        check(payloads(v1(A), v1(clip("A", "a.mov", effects=2))),
              [{"after": 2, "before": 0, "clip": ref("A", "a.mov"), "op": "effects_changed",
                "track": "V1"}])

    def test_effect_contents_ignored(self):
        other = clip("A", "a.mov", effects=1)
        other["effects"][0].update(name="blur", effect_name="Blur")
        assert tesmo.diff(v1(clip("A", "a.mov", effects=1)), v1(other)) == []
        assert tesmo.diff(v1(A), v1(dict(A, effects={"0": {}}))) == []


class TestTrimRule:
    # The thresholds themselves are tested on the model; these are values as
    # documents give them: times whose seconds overflow to infinity, and ints
    # against floats.
    @pytest.mark.parametrize(
        "before_range, after_range, is_trimmed",
        [
            (rng(1e308, 1, 1e-10), rng(1e308, 2, 2e-10), True),
            (rng(48, 48), rng(48.0, 48.0), False),
        ],
        ids=["not-a-number", "int-vs-float"],
    )
    def test_threshold(self, before_range, after_range, is_trimmed):
        got = payloads(v1(clip("A", "a.mov", source_range=before_range)),
                       v1(clip("A", "a.mov", source_range=after_range)))
        assert [c["op"] for c in got] == (["trimmed"] if is_trimmed else [])

    def test_missing_rates_read_as_one(self):
        before = {"start_time": {"value": 10}, "duration": {"value": 20, "rate": "24"}}
        after = {"start_time": {"value": 11}, "duration": {"value": 20.0}}
        check(payloads(v1(clip("A", "a.mov", source_range=before)),
                       v1(clip("A", "a.mov", source_range=after))),
              [trimmed(ref("A", "a.mov"), span(10.0, 20.0, 1.0), span(11.0, 20.0, 1.0))])

    @pytest.mark.parametrize(
        "broken",
        [{"start_time": {"value": "10", "rate": 24}, "duration": rt(48)},
         {"start_time": rt(10)}, "0-48", None],
        ids=["string-value", "no-duration", "not-an-object", "null"],
    )
    def test_absent_range_never_trimmed(self, broken):
        assert tesmo.diff(v1(A), v1(clip("A", "a.mov", source_range=broken))) == []


class TestMedia:
    NO_MEDIA = clip("A")

    @pytest.mark.parametrize(
        "media, identity",
        [
            ({"media_reference": external("file:///a.mov")}, "file:///a.mov"),
            ({"media_reference": {"target_url": "", "name": "A"}}, "ref-by-name:A"),
            ({"media_reference": {"target_url": 5, "name": "lost"}}, "ref-by-name:lost"),
            ({"media_reference": {"OTIO_SCHEMA": "MissingReference.1", "name": "n"}},
             "ref-by-name:n"),
            ({"media_reference": {"target_url": "", "name": ""}}, None),
            ({"media_reference": "file:///a.mov"}, None),
            ({"media_references": {"DEFAULT_MEDIA": external("d.mov")},
              "active_media_reference_key": "DEFAULT_MEDIA"}, "d.mov"),
            ({"media_references": {"DEFAULT_MEDIA": external("d.mov"), "proxy": external("p.mov")},
              "active_media_reference_key": "proxy"}, "p.mov"),
            ({"media_references": {"DEFAULT_MEDIA": external("d.mov")}}, "d.mov"),
            ({"media_references": {"DEFAULT_MEDIA": external("d.mov")},
              "active_media_reference_key": 5}, "d.mov"),
            ({"media_references": {"DEFAULT_MEDIA": external("d.mov")},
              "active_media_reference_key": "proxy"}, None),
            ({"media_references": [external("d.mov")]}, None),
            ({"media_references": {"DEFAULT_MEDIA": {"OTIO_SCHEMA": "MissingReference.1",
                                                     "name": "gone"}}}, "ref-by-name:gone"),
            ({"media_reference": None, "media_references": {"DEFAULT_MEDIA": external("d.mov")}},
             None),
            ({"media_reference": external("m.mov"),
              "media_references": {"DEFAULT_MEDIA": external("d.mov")}}, "m.mov"),
        ],
        ids=["url", "empty-url-name", "url-not-string", "missing-ref", "nothing", "ref-string",
             "refs-default", "refs-active", "refs-no-key", "refs-key-not-string",
             "refs-key-names-nothing", "refs-not-object", "refs-missing-ref",
             "single-null-wins", "single-object-wins"],
    )
    def test_identity(self, media, identity):
        after = clip("A")
        del after["media_reference"]
        after.update(media)
        expected = [] if identity is None else [replaced(ref("A", identity), None, identity)]
        check(payloads(v1(self.NO_MEDIA), v1(after)), expected)

    def test_media_lost(self):
        check(payloads(v1(A), v1(self.NO_MEDIA)), [replaced(ref("A"), "a.mov", None)])

    def test_current_form_clip_renamed_pairs_by_media_and_range(self):
        before = clip2("A", {"DEFAULT_MEDIA": external("a.mov")})
        assert tesmo.diff(v1(before, B), v1(dict(before, name="Opening"), B)) == []

    @pytest.mark.parametrize("schema, counted", [("Clip", True), ("clip.1", False),
                                                 ("Clip2", False), ("Stack.1", False)])
    def test_item_schema(self, schema, counted):
        extra = dict(clip("N", "n.mov"), OTIO_SCHEMA=schema)
        expected = [placed("added", ref("N", "n.mov"), 2)] if counted else []
        check(payloads(v1(A, B), v1(A, B, extra)), expected)


class TestTransitions:
    def added(self, duration, name="T", between_after=ref("B", "b.mov")):
        return {"between_after": between_after, "between_before": ref("A", "a.mov"),
                "duration": duration, "name": name, "op": "transition_added", "track": "V1"}

    @pytest.mark.parametrize(
        "in_offset, out_offset, duration",
        [
            (rt(5), rt(7), time(12.0)),
            (rt(5.5, 24.0), rt(7), time(12.5)),
            (rt(5), rt(7, 25), None),
            (rt(5, 0.5), rt(7, 0.5 + 2**-53), time(12.0, 0.5)),
            (rt(5, 1.0), rt(7, 1.0 + 2**-52), None),
            (None, rt(7, 25), time(7.0, 25.0)),
            (rt(5), None, time(5.0)),
            ({"value": "5", "rate": 24}, rt(7, 25), time(7.0, 25.0)),
            (None, None, None),
        ],
        ids=["same-rate", "float", "rates-differ", "rate-of-in-offset", "rates-epsilon-apart",
             "out-only", "in-only", "in-unreadable",
             "neither"],
    )
    def test_added_duration(self, in_offset, out_offset, duration):
        check(payloads(v1(A, B), v1(A, transition("T", in_offset, out_offset), B)),
              [self.added(duration)])

    def test_non_string_name_is_empty(self):
        check(payloads(v1(A, B), v1(A, dict(transition(), name=None), B)),
              [self.added(time(12.0), "")])

    def test_removed_has_no_duration(self):
        got = payloads(v1(A, transition("T"), B), v1(A, B))
        check(got, [{"between_after": ref("B", "b.mov"), "between_before": ref("A", "a.mov"),
                     "name": "T", "op": "transition_removed", "track": "V1"}])

    def test_removed_names_next_before_clip(self):
        check(payloads(v1(A, transition("T"), B, C), v1(A, C)), [
            placed("removed", ref("B", "b.mov"), 1),
            {"between_after": ref("B", "b.mov"), "between_before": ref("A", "a.mov"),
             "name": "T", "op": "transition_removed", "track": "V1"}])

    @pytest.mark.parametrize("separator", [GAP, {"OTIO_SCHEMA": "Filler"}], ids=["Gap", "Filler"])
    def test_gap_separates_clip_from_transition(self, separator):
        check(payloads(v1(A, transition("T"), B), v1(A, separator, transition("T"), B)),
              [{"between_after": ref("B", "b.mov"), "between_before": ref("A", "a.mov"),
                "name": "T", "op": "transition_removed", "track": "V1"}])

    @pytest.mark.parametrize(
        "before, after, expected",
        [
            ((A, transition(), B), (A, {"OTIO_SCHEMA": "Stack.1", "children": []},
                                    transition(), B), []),
            ((A, transition(), B), (A, {"name": "no schema"}, transition(), B), []),
        ],
        ids=["nested-stack-skipped", "no-schema-skipped"],
    )
    def test_not_reported(self, before, after, expected):
        check(payloads(v1(*before), v1(*after)), expected)


class TestChange:
    @pytest.fixture
    def changes(self):
        return tesmo.diff(EVERY_KIND_BEFORE, EVERY_KIND_AFTER)

    def test_result(self, changes):
        assert type(changes) is list
        assert all(type(c) is tesmo.Change for c in changes)
        assert {c.op for c in changes} == ALL_OPS

    def test_op_and_repr(self, changes):
        for change in changes:
            assert change.op == change.to_dict()["op"]
            assert repr(change) == f'Change(op="{change.op}")'
        assert repr(changes[1]) == 'Change(op="moved")'

    def test_keys_sorted_everywhere(self, changes):
        def walk(value):
            if isinstance(value, dict):
                assert list(value) == sorted(value)
                for item in value.values():
                    walk(item)
        for change in changes:
            walk(change.to_dict())

    def test_to_dict_new_each_call(self, changes):
        change = changes[0]
        first = change.to_dict()
        first["op"] = "added"
        first["clip"]["name"] = "changed"
        first["after"]["start_time"]["value"] = -1.0
        second = change.to_dict()
        assert second is not first
        assert second["clip"] is not first["clip"]
        check(second, EVERY_KIND[0])
        assert change.op == "trimmed"

    def test_inputs_not_leaked(self):
        before, after = v1(A, B), v1(B, A, C)
        counts = sys.getrefcount(before), sys.getrefcount(after), sys.getrefcount(A)
        for _ in range(100):
            tesmo.diff(before, after)
        assert (sys.getrefcount(before), sys.getrefcount(after), sys.getrefcount(A)) == counts

    def test_immutable(self, changes):
        with pytest.raises(AttributeError):
            changes[0].op = "moved"
        with pytest.raises(AttributeError):
            changes[0].extra = 1

    def test_to_dict_takes_no_arguments(self, changes):
        with pytest.raises(TypeError):
            changes[0].to_dict(1)

    @pytest.mark.parametrize(
        "call",
        [lambda: tesmo.Change.to_dict(object()), lambda: vars(tesmo.Change)["op"].__get__(5),
         lambda: tesmo.Change.__repr__("x")],
        ids=["to_dict", "op", "repr"],
    )
    def test_wrong_receiver(self, call):
        with pytest.raises(TypeError):
            call()


class TestDiffRefs:
    @pytest.fixture
    def commits(self, repo):
        return (repo.commit(EVERY_KIND_BEFORE, "first cut"),
                repo.commit(EVERY_KIND_AFTER, "second cut"))

    @staticmethod
    def records(changes):
        return [(c.op, c.to_dict()) for c in changes]

    def test_between_commits(self, repo, commits):
        first, second = commits
        got = repo.diff_refs(first, second)
        check([c.to_dict() for c in got], EVERY_KIND)
        assert self.records(got) == self.records(
            tesmo.diff(repo.read_timeline(first), repo.read_timeline(second)))

    def test_reverse_direction(self, repo, commits):
        first, second = commits
        assert self.records(repo.diff_refs(second, first)) == self.records(
            tesmo.diff(repo.read_timeline(second), repo.read_timeline(first)))

    def test_other_ref_forms(self, repo, commits):
        first, _ = commits
        got = repo.diff_refs(before_ref=first[len("sha256:"):][:10], after_ref="main")
        check([c.to_dict() for c in got], EVERY_KIND)

    @pytest.mark.parametrize("refs", [("HEAD", "HEAD"), ("main", "HEAD")], ids=["HEAD", "main"])
    def test_same_commit(self, repo, commits, refs):
        assert repo.diff_refs(*refs) == []

    def test_unborn_head(self, repo):
        assert tesmo_error(lambda: repo.diff_refs("HEAD", "HEAD")) == (
            "HEAD points at main but branch has no commits yet",)

    def test_after_ref_error_when_only_it_fails(self, repo, commits):
        assert tesmo_error(lambda: repo.diff_refs("HEAD", "nope")) == (
            "could not resolve ref: nope",)

    def test_before_ref_error_when_both_fail(self, repo, commits):
        assert tesmo_error(lambda: repo.diff_refs("nope", "zzz")) == (
            "could not resolve ref: nope",)

    def test_both_resolved_before_commits_read(self, repo, commits):
        timeline_id = repo.read_commit("HEAD")["timeline"]
        assert tesmo_error(lambda: repo.diff_refs(timeline_id, "nope")) == (
            "could not resolve ref: nope",)
        assert tesmo_error(lambda: repo.diff_refs("HEAD", timeline_id)) == (
            f"parsing commit {timeline_id}",)

    @pytest.mark.parametrize(
        "bad, message",
        [({"tracks": {"children": []}}, "expected Timeline root, got "),
         ([1, 2], "expected an object at the OTIO root")],
        ids=["no-schema", "array"],
    )
    def test_committed_value_not_a_timeline(self, repo, bad, message):
        good = repo.commit(v1(A), "good")
        broken = repo.commit(bad, "not a timeline")
        assert tesmo_error(lambda: repo.diff_refs(good, broken)) == (message,)
        assert tesmo_error(lambda: repo.diff_refs(broken, good)) == (message,)

    def test_before_timeline_read_first(self, repo):
        no_schema = repo.commit({"tracks": {"children": []}}, "one")
        array = repo.commit([1], "two")
        assert tesmo_error(lambda: repo.diff_refs(no_schema, array)) == (
            "expected Timeline root, got ",)

    @pytest.mark.parametrize(
        "args, message",
        [((1, "HEAD"), "argument 'before_ref': 'int' object cannot be converted to 'PyString'"),
         (("HEAD", None),
          "argument 'after_ref': 'NoneType' object cannot be converted to 'PyString'"),
         ((b"HEAD", "nope"),
          "argument 'before_ref': 'bytes' object cannot be converted to 'PyString'"),
         (("HEAD",), "Repo.diff_refs() missing 1 required positional argument: 'after_ref'")],
        ids=["before-int", "after-none", "before-bytes-first", "missing"],
    )
    def test_argument_errors(self, repo, args, message):
        with pytest.raises(TypeError) as excinfo:
            repo.diff_refs(*args)
        assert excinfo.value.args == (message,)


def repeated_key_cut(first_name, later_name):
    """A one-clip cut whose clip is a mapping that names it twice."""
    clip = Pairs([("OTIO_SCHEMA", "Clip.1"), ("name", first_name),
                         ("source_range", {"start_time": {"value": 0, "rate": 24},
                                           "duration": {"value": 48, "rate": 24}}),
                         ("media_reference", {"target_url": "shot.mov"}), ("name", later_name)])
    return {"OTIO_SCHEMA": "Timeline.1", "tracks": {"OTIO_SCHEMA": "Stack.1", "children": [
        {"OTIO_SCHEMA": "Track.1", "name": "V1", "kind": "Video", "children": [clip]}]}}


def plain(value):
    """The same value with every mapping a dict, the later of equal keys kept."""
    if isinstance(value, collections.abc.Mapping):
        return {k: plain(v) for k, v in zip(value.keys(), value.values())}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


@pytest.mark.parametrize("side", ["before", "after"])
def test_a_repeated_key_takes_its_later_value_in_diff(side):
    # Against an empty track, the clip is added or removed under its name.
    repeated, other = repeated_key_cut("early", "late"), plain(repeated_key_cut("x", "other"))
    other["tracks"]["children"][0]["children"] = []
    pair = (repeated, other) if side == "before" else (other, repeated)
    expected = (plain(repeated), other) if side == "before" else (other, plain(repeated))
    got = [c.to_dict() for c in tesmo.diff(*pair)]
    assert got == [c.to_dict() for c in tesmo.diff(*expected)]
    assert any("late" in str(record) for record in got)
    assert not any("early" in str(record) for record in got)


def test_a_repeated_key_takes_its_later_value_in_commit(repo):
    stored = repo.read_commit(repo.commit(repeated_key_cut("early", "late"), "cut"))["timeline"]
    assert stored == repo.read_commit(repo.commit(plain(repeated_key_cut("x", "late")), "same"))["timeline"]
    assert repo.read_timeline("HEAD") == plain(repeated_key_cut("early", "late"))
