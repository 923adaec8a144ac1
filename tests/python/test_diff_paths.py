"""tesmo.diff reads plain documents (dicts, lists, str, numbers) straight from
the objects and converts any other first. Both ways must give the same
changes and the same errors; these tests force the converted way by wrapping
a document in a dict subclass."""

import collections.abc
import copy
import enum

import pytest

import tesmo
from otio_support import (clip, clip2, external, payloads, rng, rt, tesmo_error, timeline, track,
                          transition)


class Wrapped(dict):
    """Not plain: the whole document then goes through conversion."""


class Shot(str):
    pass


class Frames(float):
    pass


class Rate(enum.IntEnum):
    FILM = 24


def both_ways(before, after):
    plain = payloads(before, after)
    assert payloads(Wrapped(before), Wrapped(after)) == plain
    assert payloads(before, Wrapped(after)) == plain
    assert payloads(Wrapped(before), after) == plain
    return plain


BASE = timeline(
    track("V1", clip("a", "a.mov"), transition(), clip("b", "b.mov", duration=24),
          {"OTIO_SCHEMA": "Gap.1"}, clip("c", "c.mov", effects=1)),
    track("A1", clip("a", "a.wav"), kind="Audio"))

EDITED = timeline(
    track("V1", clip("b", "b.mov", duration=30), clip("a", "a2.mov"), clip("d", "d.mov"),
          clip("c", "c.mov", effects=2)),
    track("A2", clip("m", "m.wav"), kind="Audio"))


def odd_values_timeline():
    """Values of every kind where the reader looks: each must read as its
    conversion would."""
    return timeline(track(
        Shot("V1"),
        clip("nan-rate", "x.mov", source_range=rng(0, 10, rate=float("nan"))),
        clip("bool-value", "y.mov", source_range={"start_time": rt(True), "duration": rt(10)}),
        clip("big", "z.mov", source_range=rng(2**63 + 5, 2**64 - 1)),
        clip("negative", "n.mov", source_range=rng(-3, Frames(12.5), rate=Rate.FILM)),
        clip(Shot("subclass-name"), Shot("s.mov")),
        clip2("multi", {"DEFAULT_MEDIA": external("d.mov"), "alt": external("alt.mov")}, active="alt"),
        clip2("missing-key", {"DEFAULT_MEDIA": external("d.mov")}, active="nope"),
        clip("by-name", media_reference={"OTIO_SCHEMA": "MissingReference.1", "name": "slate",
                                         "target_url": ""}),
        {"OTIO_SCHEMA": 7, "name": "schema-not-text"},
        ("not", "an", "object"),
        kind="VIDEO"))


@pytest.mark.parametrize("before, after", [
    (BASE, EDITED),
    (EDITED, BASE),
    (BASE, BASE),
    (odd_values_timeline(), BASE),
    (BASE, odd_values_timeline()),
], ids=["edit", "reverse", "same", "odd-before", "odd-after"])
def test_both_ways_give_the_same_changes(before, after):
    both_ways(before, after)


def test_tuples_read_as_lists():
    as_tuples = copy.deepcopy(EDITED)
    as_tuples["tracks"]["children"] = tuple(as_tuples["tracks"]["children"])
    as_tuples["tracks"]["children"][0]["children"] = tuple(as_tuples["tracks"]["children"][0]["children"])
    assert both_ways(BASE, as_tuples) == payloads(BASE, EDITED)


@pytest.mark.parametrize("document, message", [
    ({}, "expected Timeline root, got "),
    ({"OTIO_SCHEMA": "Timeline.1"}, "Timeline has no `tracks`"),
    ({"OTIO_SCHEMA": "Timeline.1", "tracks": []}, "expected the top stack to be an object"),
    ({"OTIO_SCHEMA": "Timeline.1", "tracks": {}}, "stack has no `children` array"),
    ({"OTIO_SCHEMA": Shot("Timeline.x"), "tracks": {"children": ()}}, None),
])
def test_reader_messages_are_the_same_both_ways(document, message):
    if message is None:
        assert tesmo.diff(document, document) == []
        assert tesmo.diff(Wrapped(document), document) == []
        return
    assert tesmo_error(lambda: tesmo.diff(document, BASE)) == (message,)
    assert tesmo_error(lambda: tesmo.diff(Wrapped(document), BASE)) == (message,)


def test_every_conversion_comes_before_any_reading():
    # The after document fails to convert deep inside; that error wins over
    # the reader's complaint about the before document.
    after = copy.deepcopy(BASE)
    after["tracks"]["children"][0]["children"][0]["metadata"] = {"raw": b""}
    assert tesmo_error(lambda: tesmo.diff({}, after)) == \
        ("invalid type: byte array, expected any valid JSON value",)
    assert tesmo_error(lambda: tesmo.diff(5, {"deep": [[{1: 2}]]})) == \
        ("unexpected type: 'int' object cannot be converted to 'PyString'",)


def test_before_is_taken_before_code_in_after_runs():
    before = copy.deepcopy(BASE)

    class Meddling(collections.abc.Mapping):
        """Empties the before document's tracks when asked for its keys."""

        def __init__(self, items):
            self._items = items

        def __getitem__(self, key):
            return self._items[key]

        def __iter__(self):
            return iter(self._items)

        def __len__(self):
            return len(self._items)

        def keys(self):
            before["tracks"]["children"].clear()
            return list(self._items)

    after = copy.deepcopy(EDITED)
    after["metadata"] = Meddling({"note": "x"})
    changes = [c.to_dict() for c in tesmo.diff(before, after)]
    assert before["tracks"]["children"] == []
    assert changes == payloads(BASE, EDITED)


def test_a_str_subclass_key_goes_through_conversion():
    class Key(str):
        def __hash__(self):
            return hash(str(self))

        def __eq__(self, other):
            return str(self) == str(other)

    document = copy.deepcopy(EDITED)
    document[Key("name")] = "keyed"
    assert payloads(BASE, document) == payloads(BASE, EDITED)
