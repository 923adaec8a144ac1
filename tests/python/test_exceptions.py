"""Exceptions raised by the caller's code while a value is converted, and
sequences too long to store.

An Exception raised by the caller's code becomes TesmoError whose text is the
exception type's qualified name and str() of the exception. A BaseException
that is not an Exception (KeyboardInterrupt, SystemExit, GeneratorExit, or a
class of the caller's own) asks the program to stop: it propagates unchanged,
the very object raised, nothing more of the caller's code runs, and nothing
is stored.

A sequence that says it holds more items than a stored object could ever
have room for is refused as soon as its length is known: no item is asked
for and nothing is allocated for them.

Every case goes through Repo.commit and through both arguments of tesmo.diff,
the value sitting in the metadata of an otherwise empty timeline.
"""

import collections.abc
import json
import subprocess
import sys
import textwrap

import pytest

import tesmo

# An array of n items has a canonical text of at least 2n + 1 bytes, and an
# object takes at most 1 GiB.
MAX_ITEMS = (2**30 - 1) // 2


def too_long(n):
    return f"sequence of length {n} is too long to store (at most {MAX_ITEMS} items)"


def document(value):
    """A timeline the diff reads as empty, holding `value` two levels down."""
    return {"OTIO_SCHEMA": "Timeline.1", "name": "cut", "metadata": {"x": value},
            "tracks": {"OTIO_SCHEMA": "Stack.1", "name": "tracks", "children": []}}


CALLS = {
    "commit": lambda repo, value: repo.commit(value, "m"),
    "diff-before": lambda repo, value: tesmo.diff(document(value), document(0)),
    "diff-after": lambda repo, value: tesmo.diff(document(0), document(value)),
}


@pytest.fixture(params=list(CALLS))
def call(request):
    return CALLS[request.param]


@pytest.fixture
def unraisable(monkeypatch):
    """What the module reports as unraisable (an isinstance() test that raised)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def stored(repo):
    """Everything a commit leaves behind: object files, and the history."""
    objects = repo.root / "objects"
    return sorted(p for p in objects.rglob("*") if p.is_file()), repo.log()


# --- where the caller's code raises -------------------------------------------


class Halt(BaseException):
    """The caller's own exception that is not an Exception."""


class RaisingSequence(collections.abc.Sequence):
    def __init__(self, exc, where, calls=None):
        self.exc, self.where, self.calls = exc, where, calls

    def __len__(self):
        if self.calls is not None:
            self.calls.append("len")
        if self.where == "len":
            raise self.exc
        return 2

    def __getitem__(self, i):
        if self.where == "getitem":
            raise self.exc
        if i >= 2:
            raise IndexError(i)
        return i


class RaisingMapping(collections.abc.Mapping):
    """keys(), values() and len() answer for members a and b, unless `where`
    names the one that raises."""

    def __init__(self, exc, where):
        self.exc, self.where = exc, where

    def _check(self, name):
        if self.where == name:
            raise self.exc

    def keys(self):
        self._check("keys")
        return ["a", "b"]

    def values(self):
        self._check("values")
        return [1, 2]

    def __len__(self):
        self._check("len")
        return 2

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class MixinMapping(collections.abc.Mapping):
    """keys() and values() come from the Mapping mixins, so they run
    __iter__ and __getitem__."""

    def __init__(self, exc, where):
        self.exc, self.where = exc, where

    def __iter__(self):
        if self.where == "iter":
            raise self.exc
        return iter(["a"])

    def __getitem__(self, key):
        if self.where == "getitem":
            raise self.exc
        return 1

    def __len__(self):
        return 1


class RaisingSet(frozenset):
    def __iter__(self):
        raise self.exc

    def __repr__(self):
        return "RaisingSet()"  # a failure report must not iterate


def raising_set(exc):
    value = RaisingSet([1])
    value.exc = exc
    return value


class ClassRaises:
    """isinstance() against an abstract class asks the object for __class__
    once; the access numbered `at` raises (1: the Sequence test, 2: the
    Mapping test)."""

    def __init__(self, exc, at):
        self.exc, self.at, self.asked = exc, at, 0

    @property
    def __class__(self):
        self.asked += 1
        if self.asked == self.at:
            raise self.exc
        return type(self)

    def __repr__(self):
        return f"ClassRaises(at={self.at})"


def odd_type_instance(exc, attr):
    """An instance of a class whose metaclass raises when first asked for
    `attr` (once only, so that a failure report can still name the class)."""
    armed = [True]

    class Meta(type):
        def __getattribute__(cls, name):
            if name == attr and armed:
                armed.clear()
                raise exc
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


class Pairs(collections.abc.Mapping):
    """A mapping whose keys() and values() give these lists."""

    def __init__(self, keys, values):
        self.k, self.v = keys, values

    def keys(self):
        return self.k

    def values(self):
        return self.v

    def __len__(self):
        return len(self.k)

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class Loud(ValueError):
    """An ordinary exception whose str() raises the exception it was given."""

    def __str__(self):
        raise self.args[0]


# name: (make the value raising `exc`, the message when `exc` is ValueError("bad"))
PLACES = {
    "sequence-len": (lambda exc: RaisingSequence(exc, "len"), "ValueError: bad"),
    "sequence-getitem": (lambda exc: RaisingSequence(exc, "getitem"), "ValueError: bad"),
    "tuple-item": (lambda exc: (1, RaisingSequence(exc, "len")), "ValueError: bad"),
    "mapping-keys": (lambda exc: RaisingMapping(exc, "keys"), "ValueError: bad"),
    "mapping-values": (lambda exc: RaisingMapping(exc, "values"), "ValueError: bad"),
    "mapping-len": (lambda exc: RaisingMapping(exc, "len"), "ValueError: bad"),
    "mapping-iter": (lambda exc: MixinMapping(exc, "iter"), "ValueError: bad"),
    "mapping-getitem": (lambda exc: MixinMapping(exc, "getitem"), "ValueError: bad"),
    "set-iter": (raising_set, "ValueError: bad"),
    "sequence-instancecheck": (lambda exc: ClassRaises(exc, 1), "unsupported type ClassRaises"),
    "mapping-instancecheck": (lambda exc: ClassRaises(exc, 2), "unsupported type ClassRaises"),
    "type-qualname": (lambda exc: odd_type_instance(exc, "__qualname__"),
                      "unsupported type unknown"),
    "key-type-name": (lambda exc: {odd_type_instance(exc, "__name__"): 1},
                      "unexpected type: '?' object cannot be converted to 'PyString'"),
    "exception-str": (lambda exc: RaisingSequence(Loud(exc), "len"),
                      "Loud: <exception str() failed>"),
}

PASSING = [KeyboardInterrupt, SystemExit, GeneratorExit, Halt]


class TestExceptionsThatPassThrough:
    @pytest.mark.parametrize("exc_type", PASSING, ids=lambda t: t.__name__)
    @pytest.mark.parametrize("place", list(PLACES))
    def test_the_same_exception_propagates(self, repo, call, unraisable, place, exc_type):
        exc = exc_type("stop")
        value = PLACES[place][0](exc)
        before = stored(repo)
        with pytest.raises(exc_type) as excinfo:
            call(repo, value)
        assert excinfo.value is exc
        assert stored(repo) == before
        assert unraisable == []

    @pytest.mark.parametrize("place", list(PLACES))
    def test_an_ordinary_exception_becomes_tesmo_error(self, repo, call, unraisable, place):
        make, message = PLACES[place]
        before = stored(repo)
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, make(ValueError("bad")))
        assert excinfo.value.args == (message,)
        assert excinfo.value.__cause__ is None and excinfo.value.__context__ is None
        assert stored(repo) == before

    def test_isinstance_raising_an_ordinary_exception_is_unraisable(self, repo, unraisable):
        with pytest.raises(tesmo.TesmoError):
            repo.commit(ClassRaises(ValueError("bad"), 2), "m")
        assert [(u.exc_type, str(u.exc_value)) for u in unraisable] == [(ValueError, "bad")]

    @pytest.mark.parametrize("mapping", [lambda k, v: dict(zip(k, v)), Pairs],
                             ids=["dict", "mapping"])
    @pytest.mark.parametrize("exc_type", PASSING, ids=lambda t: t.__name__)
    def test_nothing_more_runs_after_it(self, repo, call, mapping, exc_type):
        """An ordinary failure of a key is reported after the values before it
        are converted; an exception that passes through ends the walk at once,
        so the value before that key is never asked for its length."""
        exc = exc_type("stop")
        calls = []
        value = mapping(["a", odd_type_instance(exc, "__name__")],
                        [RaisingSequence(None, None, calls), 1])
        with pytest.raises(exc_type) as excinfo:
            call(repo, value)
        assert excinfo.value is exc
        assert calls == []

    @pytest.mark.parametrize("mapping", [lambda k, v: dict(zip(k, v)), Pairs],
                             ids=["dict", "mapping"])
    def test_earlier_values_still_convert_before_an_ordinary_key_failure(self, repo, call,
                                                                         mapping):
        calls = []
        value = mapping(["a", 1], [RaisingSequence(None, None, calls), 1])
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, value)
        assert excinfo.value.args == (
            "unexpected type: 'int' object cannot be converted to 'PyString'",)
        assert calls == ["len", "len"]

    @pytest.mark.parametrize("exc_type", PASSING, ids=lambda t: t.__name__)
    def test_a_value_before_an_ordinary_key_failure_may_still_stop_the_call(self, repo, call,
                                                                            exc_type):
        exc = exc_type("stop")
        value = {"a": RaisingSequence(exc, "getitem"), 1: 1}
        with pytest.raises(exc_type) as excinfo:
            call(repo, value)
        assert excinfo.value is exc

    def test_the_repository_stays_usable(self, repo):
        exc = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            repo.commit(RaisingMapping(exc, "values"), "m")
        commit_id = repo.commit({"a": [1]}, "m")
        assert repo.read_timeline(commit_id) == {"a": [1]}
        assert [entry[0] for entry in repo.log()] == [commit_id]


class TestLoneSurrogates:
    """Unchanged: a text argument raises the interpreter's UnicodeEncodeError,
    a text inside the timeline is TesmoError."""

    def test_in_a_text_argument(self, repo):
        before = stored(repo)
        with pytest.raises(UnicodeEncodeError):
            repo.commit({"a": 1}, "bad \ud800")
        assert stored(repo) == before

    def test_in_the_timeline(self, repo, call):
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, ["bad \ud800"])
        assert excinfo.value.args == ("UnicodeEncodeError: 'utf-8' codec can't encode character "
                                      "'\\ud800' in position 4: surrogates not allowed",)


# --- lengths ---------------------------------------------------------------------


class ClaimsLength(collections.abc.Sequence):
    """Says it holds `n` items; gives items 0, 1, 2 and then IndexError.
    Records the questions asked of it."""

    def __init__(self, n, calls):
        self.n, self.calls = n, calls

    def __len__(self):
        self.calls.append("len")
        return self.n

    def __getitem__(self, i):
        self.calls.append(f"item {i}")
        if i >= 3:
            raise IndexError(i)
        return i


class ClaimsLengthList(list):
    def __init__(self, n, calls):
        super().__init__([0, 1, 2])
        self.n, self.calls = n, calls

    def __len__(self):
        self.calls.append("len")
        return self.n


class TestTooLong:
    @pytest.mark.parametrize(
        "make, n",
        [
            (lambda: range(2**62), 2**62),
            (lambda: range(10**18), 10**18),
            (lambda: [[range(10**18)]], 10**18),
            (lambda: {"a": {"b": (1, range(-2**62, 0))}}, 2**62),
            (lambda: range(MAX_ITEMS + 1), MAX_ITEMS + 1),
            (lambda: range(sys.maxsize), sys.maxsize),
        ],
        ids=["range-2**62", "range-10**18", "nested-in-lists", "nested-in-dicts",
             "one-over", "maxsize"],
    )
    def test_range(self, repo, call, make, n):
        before = stored(repo)
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, make())
        assert excinfo.value.args == (too_long(n),)
        assert stored(repo) == before

    @pytest.mark.parametrize("n", [MAX_ITEMS + 1, 10**12, 2**62, sys.maxsize],
                             ids=["one-over", "10**12", "2**62", "maxsize"])
    @pytest.mark.parametrize("cls", [ClaimsLength, ClaimsLengthList],
                             ids=["sequence", "list-subclass"])
    def test_lying_length_asks_for_no_item(self, repo, call, cls, n):
        calls = []
        before = stored(repo)
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, [1, cls(n, calls)])
        assert excinfo.value.args == (too_long(n),)
        assert calls == ["len", "len"]
        assert stored(repo) == before

    @pytest.mark.parametrize(
        "cls, message, trace",
        [(ClaimsLength, "IndexError: 3", ["len", "len", "item 0", "item 1", "item 2", "item 3"]),
         (ClaimsLengthList, "IndexError: list index out of range", ["len", "len"])],
        ids=["sequence", "list-subclass"],
    )
    def test_at_the_limit_the_items_are_asked_for(self, repo, call, cls, message, trace):
        calls = []
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, cls(MAX_ITEMS, calls))
        assert excinfo.value.args == (message,)
        assert calls == trace

    def test_a_length_beyond_an_index_is_the_interpreters_error(self, repo, call):
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call(repo, range(2**63))
        assert excinfo.value.args == (
            "OverflowError: Python int too large to convert to C ssize_t",)


# --- memory -----------------------------------------------------------------------

# Run in a child whose address space is capped a little above what it uses
# once set up, so that a large allocation fails for certain.
CHILD = textwrap.dedent('''
    import collections.abc, json, resource, sys, tempfile
    import tesmo

    class Claims(collections.abc.Sequence):
        def __init__(self, n):
            self.n = n
        def __len__(self):
            return self.n
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return "item"

    class Items(collections.abc.Sequence):
        def __init__(self, items):
            self.items = items
        def __len__(self):
            return len(self.items)
        def __getitem__(self, i):
            return self.items[i]

    timeline = {"OTIO_SCHEMA": "Timeline.1", "name": "cut",
                "tracks": {"OTIO_SCHEMA": "Stack.1", "name": "tracks", "children": []}}
    call, n = sys.argv[1], int(sys.argv[2])
    repo = tesmo.Repo.init(tempfile.mkdtemp())
    big_text = ["x" * 1000] * 1000000  # a gigabyte of canonical text
    values = {"claims": Claims(n), "big": Items(big_text)}
    value = dict(timeline, x=values[sys.argv[3]])
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, hard))
    try:
        if call == "commit":
            repo.commit(value, "m")
        else:
            tesmo.diff(value, timeline)
    except BaseException as exc:
        result = [type(exc).__name__, str(exc)]
    else:
        result = ["ok", ""]
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(json.dumps({"result": result, "log": repo.log()}))
''')


def in_child(call, what, n=0):
    proc = subprocess.run([sys.executable, "-c", CHILD, call, str(n), what],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


class TestMemory:
    @pytest.mark.parametrize("call", ["commit", "diff"])
    def test_room_for_claimed_items_is_capped(self, call):
        """Room for every item of the claimed length would take far more
        than the child may allocate; the items run out first."""
        assert in_child(call, "claims", MAX_ITEMS) == {"result": ["TesmoError", "IndexError: 3"],
                                                       "log": []}

    @pytest.mark.parametrize("call", ["commit", "diff"])
    def test_running_out_of_memory_is_memory_error(self, call):
        outcome = in_child(call, "big")
        assert outcome["log"] == []
        kind, message = outcome["result"]
        # The module's own allocation fails (MemoryError), or, depending on
        # where the limit is met, one of the interpreter's while it runs the
        # caller's code, which is reported as for any exception.
        assert kind == "MemoryError" or (kind == "TesmoError"
                                         and message.startswith("MemoryError")), outcome
