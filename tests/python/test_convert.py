"""Converting Python values into stored JSON values and back, through commit and read_timeline."""

import abc
import collections.abc
import datetime
import enum
import hashlib
import math
import sys

import pytest

import tesmo

TOO_DEEP = "value nested too deeply: containers may nest at most 127 levels"
OVERFLOW = "OverflowError: int too big to convert"
OUT_OF_RANGE = "JSON number out of range"
BYTES = "invalid type: byte array, expected any valid JSON value"
BYTEARRAY = "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"


def key_message(type_name):
    return f"unexpected type: '{type_name}' object cannot be converted to 'PyString'"


def commit_and_read(repo, value):
    commit_id = repo.commit(value, "m")
    return repo.read_commit(commit_id)["timeline"], repo.read_timeline(commit_id)


def refused(repo, objects, value):
    """The message of a refused conversion; nothing may have been written."""
    with pytest.raises(tesmo.TesmoError) as excinfo:
        repo.commit(value, "m")
    assert objects.files() == []
    assert not (repo.root / "refs/heads/main").exists()
    return excinfo.value.args


def nest(depth, wrap):
    value = 0
    for _ in range(depth):
        value = wrap(value)
    return value


def surrogate_message(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return f"UnicodeEncodeError: {exc}"
    raise AssertionError("encodable")


class Level(enum.IntEnum):
    HIGH = 3


class Color(str, enum.Enum):
    RED = "red"


def duck(name, **methods):
    """An instance of a new class that only looks like a number or a container."""
    return type(name, (), methods)()


class Outer:
    class Inner:
        pass

    class Error(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


LoudStr = type("LoudStr", (str,), {"__str__": lambda self: "LOUD"})
OddInt = type("OddInt", (int,), {"__index__": lambda self: 99})
OddFloat = type("OddFloat", (float,), {"__float__": lambda self: 9.0})


class Items(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Pairs(collections.abc.Mapping):
    def __init__(self, *pairs):
        self.pairs = list(pairs)

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter([k for k, _ in self.pairs])

    def __len__(self):
        return len(self.pairs)


class VirtualSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i * 10


class VirtualMapping:
    def keys(self):
        return ["y", "x"]

    def values(self):
        return [1, 2]

    def __len__(self):
        return 2

    def __getitem__(self, key):
        return {"y": 1, "x": 2}[key]


collections.abc.Sequence.register(VirtualSequence)
collections.abc.Mapping.register(VirtualMapping)


class KeysFromMethod(dict):
    def keys(self):
        return ["renamed"]


class GrowingLength(Items):
    """Answers 2, then 3, ... to len()."""

    def __len__(self):
        self.calls = getattr(self, "calls", 0) + 1
        return 1 + self.calls


class GrowingList(list):
    def __len__(self):
        self.calls = getattr(self, "calls", 0) + 1
        return 1 + self.calls


class Raising(Items):
    def __init__(self, exc, where):
        super().__init__(1, 2)
        self.exc, self.where = exc, where

    def __len__(self):
        if self.where == "len":
            raise self.exc
        return 2

    def __getitem__(self, i):
        if self.where == "getitem":
            raise self.exc
        return i


class RaisingKeys(Pairs):
    def keys(self):
        raise KeyError("k")


class DuplicateKeys(Pairs):
    def keys(self):
        return ["a", "a"]

    def __len__(self):
        return 2

    def values(self):
        return [1, 2]


class ShortValues(Pairs):
    def values(self):
        return [1]


class Sneaky:
    """Every isinstance test against an ABC raises."""

    @property
    def __class__(self):
        raise RuntimeError("no class")


class SelfContaining(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return self


class TestStoredForm:
    """The stored timeline object has the id of the expected canonical text."""

    @pytest.mark.parametrize(
        "value, text",
        [
            (None, "null"), (True, "true"), (False, "false"), (0, "0"), (1, "1"),
            (1.0, "1.0"), (-0.0, "-0.0"), (2.5, "2.5"), (1e16, "1e+16"), (1e-6, "1e-6"),
            (2**64 - 1, "18446744073709551615"), (-2**63, "-9223372036854775808"),
            (float("nan"), "null"), (float("inf"), "null"), (float("-inf"), "null"),
            ("", '""'), ("\u00e9\u2028\x00", '"\u00e9\u2028\\u0000"'),
            ([1, 2], "[1,2]"), ((1, 2), "[1,2]"), ([], "[]"), ({}, "{}"),
            (range(3), "[0,1,2]"), (frozenset({5}), "[5]"),
            ({"b": 1, "a": [True, None]}, '{"a":[true,null],"b":1}'),
            (Level.HIGH, "3"), (Color.RED, '"red"'), (OddInt(7), "7"), (OddFloat(2.5), "2.5"),
            (LoudStr("quiet"), '"quiet"'),
            (Items(1, "x"), '[1,"x"]'), (Pairs(("b", 1), ("a", 2)), '{"a":2,"b":1}'),
            (VirtualSequence(), "[0,10]"), (VirtualMapping(), '{"x":2,"y":1}'),
            (KeysFromMethod(a=1), '{"renamed":1}'), (DuplicateKeys(), '{"a":2}'),
        ],
        ids=["none", "true", "false", "zero", "one", "one-float", "minus-zero", "float",
             "1e16", "1e-6", "u64-max", "i64-min", "nan", "inf", "minus-inf", "empty-str",
             "str-raw", "list", "tuple", "empty-list", "empty-dict", "range", "frozenset",
             "dict-sorted", "int-enum", "str-enum", "int-subclass", "float-subclass",
             "str-subclass", "abc-sequence", "abc-mapping", "virtual-sequence",
             "virtual-mapping", "dict-subclass-keys", "duplicate-keys"],
    )
    def test_timeline_id(self, repo, value, text):
        timeline_id, _ = commit_and_read(repo, value)
        assert timeline_id == "sha256:" + hashlib.sha256(text.encode()).hexdigest()

    def test_bool_is_not_int_and_int_is_not_float(self, repo, objects):
        ids = [commit_and_read(repo, v)[0] for v in (True, 1, 1.0)]
        assert ids[0] == objects.id_of(True) and ids[1] == objects.id_of(1)
        assert len(set(ids)) == 3

    def test_insertion_order_does_not_change_the_id(self, repo):
        first, _ = commit_and_read(repo, {"a": 1, "b": {"y": 2, "x": 3}})
        second, _ = commit_and_read(repo, {"b": {"x": 3, "y": 2}, "a": 1})
        assert first == second

    def test_set_in_iteration_order(self, repo, objects):
        value = {3, 1, 200}
        timeline_id, back = commit_and_read(repo, value)
        assert back == list(value)
        assert timeline_id == objects.id_of(list(value))


class TestReadBack:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (True, True), (0, 0), (2**64 - 1, 2**64 - 1), (-2**63, -2**63), (1.0, 1.0),
            ((1, (2,)), [1, [2]]), ([float("nan"), float("inf")], [None, None]),
            (Level.HIGH, 3), (Color.RED, "red"), (range(2), [0, 1]), ("caf\u00e9", "caf\u00e9"),
        ],
        ids=["bool", "zero", "u64-max", "i64-min", "float", "tuples", "non-finite", "int-enum",
             "str-enum", "range", "text"],
    )
    def test_values_and_exact_types(self, repo, value, expected):
        _, back = commit_and_read(repo, value)
        assert back == expected
        assert type(back) is type(expected)

    def test_minus_zero_keeps_its_sign(self, repo):
        _, back = commit_and_read(repo, [-0.0, 0.0])
        assert [math.copysign(1, x) for x in back] == [-1, 1]

    def test_dict_keys_come_back_ascending(self, repo):
        _, back = commit_and_read(repo, {"b": 1, "\u00e9": 2, "a": {"z": 0, "B": 1}, "_": 3})
        assert list(back) == ["_", "a", "b", "\u00e9"]
        assert list(back["a"]) == ["B", "z"]

    def test_results_are_new_objects_without_extra_references(self, repo):
        repo.commit({"a": [1, {"b": []}]}, "m")
        first, second = repo.read_timeline("HEAD"), repo.read_timeline("HEAD")
        assert first == second and first is not second and first["a"] is not second["a"]
        # Each object is referenced by its container only (plus the call's argument).
        counts = (sys.getrefcount(first), sys.getrefcount(first["a"]),
                  sys.getrefcount(first["a"][1]), sys.getrefcount(first["a"][1]["b"]))
        assert counts == (2, 2, 2, 2)


class TestNumberRange:
    @pytest.mark.parametrize("value", [2**64, 2**128 - 1, -2**63 - 1, -2**127],
                             ids=["2**64", "2**128-1", "-2**63-1", "-2**127"])
    def test_out_of_range(self, repo, objects, value):
        assert refused(repo, objects, value) == (OUT_OF_RANGE,)

    @pytest.mark.parametrize("value", [2**128, -2**127 - 1, 2**200, -2**200, OddInt(2**200)],
                             ids=["2**128", "-2**127-1", "2**200", "-2**200", "int-subclass"])
    def test_overflow_error_of_the_interpreter(self, repo, objects, value):
        assert refused(repo, objects, value) == (OVERFLOW,)

    def test_out_of_range_inside_a_container(self, repo, objects):
        assert refused(repo, objects, {"ok": 1, "tracks": [0, 2**64]}) == (OUT_OF_RANGE,)


class TestRefusals:
    @pytest.mark.parametrize(
        "value, message",
        [
            (b"x", BYTES), (b"", BYTES), (type("B", (bytes,), {})(b"x"), BYTES),
            (bytearray(b"x"), BYTEARRAY), (type("BA", (bytearray,), {})(), BYTEARRAY),
            ({1: 2}, key_message("int")),
            ({"a": 1, (1,): 2}, key_message("tuple")),
            (Pairs((None, 1)), key_message("NoneType")),
            (object(), "unsupported type object"),
            (Outer.Inner(), "unsupported type Outer.Inner"),
            (datetime.datetime(2020, 1, 1), "unsupported type datetime"),
            (1j, "unsupported type complex"),
            (duck("Index", __index__=lambda s: 1), "unsupported type Index"),
            (duck("FloatLike", __float__=lambda s: 1.0), "unsupported type FloatLike"),
            (duck("Iterable", __iter__=lambda s: iter([1])), "unsupported type Iterable"),
            (duck("Duck", __len__=lambda s: 1, __getitem__=lambda s, i: 1),
             "unsupported type Duck"),
            ([1, {"t": [object()]}], "unsupported type object"),
            ({frozenset({b""})}, BYTES),
        ],
        ids=["bytes", "empty-bytes", "bytes-subclass", "bytearray", "bytearray-subclass",
             "int-key", "tuple-key", "mapping-none-key", "object", "nested-class", "datetime",
             "complex", "index", "float-like", "iterable", "duck-sequence", "deep-inside",
             "inside-set"],
    )
    def test_message(self, repo, objects, value, message):
        assert refused(repo, objects, value) == (message,)

    @pytest.mark.parametrize("value", ["a\ud800", {"k\udfff": 1}, Pairs(("\ud800", 1))],
                             ids=["value", "key", "mapping-key"])
    def test_lone_surrogates(self, repo, objects, value):
        text = value if isinstance(value, str) else list(value)[0]
        assert refused(repo, objects, value) == (surrogate_message(text),)


class TestHostileContainers:
    @pytest.mark.parametrize("value", [GrowingLength(1, 2), GrowingList([1, 2])],
                             ids=["sequence", "list-subclass"])
    def test_length_changes(self, repo, objects, value):
        assert refused(repo, objects, value) == ("expected sequence of length 2, got 3",)

    @pytest.mark.parametrize(
        "value, message",
        [
            (RaisingKeys(("a", 1)), "KeyError: 'k'"),
            (Raising(ValueError("no item"), "getitem"), "ValueError: no item"),
            (Raising(RuntimeError("no length"), "len"), "RuntimeError: no length"),
            (Raising(Unprintable(), "getitem"), "Unprintable: <exception str() failed>"),
            (Raising(Outer.Error("boom"), "getitem"), "Outer.Error: boom"),
            (ShortValues(("a", 1), ("b", 2)), "IndexError: list index out of range"),
        ],
        ids=["keys-raise", "getitem-raises", "len-raises", "str-fails", "qualname",
             "short-values"],
    )
    def test_raised_exception_becomes_the_message(self, repo, objects, value, message):
        assert refused(repo, objects, value) == (message,)

    def test_list_emptied_while_converted(self, repo, objects):
        outer = []

        class Clearing(Items):
            def __getitem__(self, i):
                outer.clear()
                return i

        outer.extend([[Clearing(1)], 1, 2])
        assert refused(repo, objects, outer) == ("IndexError: list index out of range",)

    def test_set_changed_while_converted(self, repo, objects):
        values = {1, 2, 3}

        class Adding(Items):
            def __getitem__(self, i):
                values.add(len(values) + 10)
                return i

        values.add(Adding(1))
        assert refused(repo, objects, values) == (
            "RuntimeError: Set changed size during iteration",)

    def test_raising_isinstance_is_reported_as_unraisable(self, repo, objects, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        assert refused(repo, objects, [Sneaky()]) == ("unsupported type Sneaky",)
        # Both the sequence and the mapping test raise; each counts as false.
        assert [(u.exc_type, str(u.exc_value)) for u in seen] == [(RuntimeError, "no class")] * 2


class TestAbcLookup:
    def test_collections_abc_looked_up_once(self, repo, objects, monkeypatch):
        repo.commit(Items(1), "m")  # the lookup has happened by now

        class OtherSequence(abc.ABC):
            pass

        class Registered:
            def __len__(self):
                return 0

            def __getitem__(self, i):
                raise IndexError(i)

        OtherSequence.register(Registered)
        monkeypatch.setattr(collections.abc, "Sequence", OtherSequence)
        with pytest.raises(tesmo.TesmoError) as excinfo:
            repo.commit(Registered(), "m")
        assert excinfo.value.args == (f"unsupported type {Registered.__qualname__}",)
        assert repo.read_timeline(repo.commit(Items(2), "m")) == [2]


class TestNesting:
    @pytest.mark.parametrize(
        "wrap",
        [lambda v: [v], lambda v: {"a": v}, lambda v: (v,), lambda v: Items(v),
         lambda v: [v] if isinstance(v, dict) else {"a": v}],
        ids=["list", "dict", "tuple", "abc-sequence", "mixed"],
    )
    def test_127_levels_commit_and_read_back(self, repo, wrap):
        value = nest(127, wrap)
        _, back = commit_and_read(repo, value)
        depth = 0
        while not isinstance(back, int):
            back = back[0] if isinstance(back, list) else next(iter(back.values()))
            depth += 1
        assert (depth, back) == (127, 0)

    @pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"a": v}, lambda v: frozenset([v])],
                             ids=["list", "dict", "frozenset"])
    def test_128_levels_refused(self, repo, objects, wrap):
        value = nest(128, wrap)
        assert refused(repo, objects, value) == (TOO_DEEP,)

    def test_self_containing(self, repo, objects):
        as_list, as_dict = [], {}
        as_list.append(as_list)
        as_dict["d"] = [as_dict]
        for value in (as_list, as_dict, SelfContaining()):
            assert refused(repo, objects, value) == (TOO_DEEP,)


class TestReferences:
    def test_no_reference_kept(self, repo):
        held, key = ["held"], "".join(["ke", "y"])
        before = sys.getrefcount(held), sys.getrefcount(key)
        for _ in range(3):
            repo.commit({key: held, "t": (held, [held]), "s": Items(held), "m": Pairs((key, held)),
                         "set": {key}, "fs": frozenset([key])}, "m")
            repo.read_timeline("HEAD")
        assert (sys.getrefcount(held), sys.getrefcount(key)) == before

    @pytest.mark.parametrize(
        "make",
        [lambda h, k: [h, b""], lambda h, k: {k: h, "z": {1: 2}},
         lambda h, k: (h, Raising(ValueError("x"), "getitem")),
         lambda h, k: Pairs((k, [h, 2**64])), lambda h, k: nest(200, lambda v: [h, v]),
         lambda h, k: {k: [h, GrowingLength()]}, lambda h, k: [h, {k, b""}]],
        ids=["bytes", "bad-key", "raising", "mapping", "too-deep", "length-changes", "set"],
    )
    def test_no_reference_kept_after_failure(self, repo, make):
        held, key = ["held"], "".join(["ke", "y"])
        value = make(held, key)
        before = sys.getrefcount(held), sys.getrefcount(key)
        for _ in range(3):
            with pytest.raises(tesmo.TesmoError):
                repo.commit(value, "m")
        assert (sys.getrefcount(held), sys.getrefcount(key)) == before
