"""The stored text of a committed timeline, byte for byte.

A commit writes the canonical text straight from the caller's objects. These
tests hold it against an independent rendering of the canonical form written
here in Python, over hand-picked and generated values.
"""

import collections.abc
import decimal
import gzip
import hashlib
import json
import random

import pytest

import tesmo
from otio_support import Pairs


def render_float(x):
    if x == 0:
        return "-0.0" if str(x).startswith("-") else "0.0"
    sign = "-" if x < 0 else ""
    # repr gives the shortest digits that read back as x.
    digits, exp = decimal.Decimal(repr(abs(x))).normalize().as_tuple()[1:]
    digits = "".join(map(str, digits))
    n = len(digits) - 1 + exp  # decimal exponent of the first digit
    if -5 <= n <= 15:
        if n >= len(digits) - 1:
            return sign + digits + "0" * (n - len(digits) + 1) + ".0"
        if n >= 0:
            return sign + digits[:n + 1] + "." + digits[n + 1:]
        return sign + "0." + "0" * (-n - 1) + digits
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return sign + mantissa + "e" + ("-" if n < 0 else "+") + str(abs(n))


def render(value):
    """The canonical text of a value, as the store must write it."""
    if value is None:
        return "null"
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, int):
        return str(int(value))
    if isinstance(value, float):
        return render_float(value) if value == value and abs(value) != float("inf") else "null"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, (list, tuple, set, range)):
        return "[" + ",".join(render(v) for v in value) + "]"
    if isinstance(value, collections.abc.Mapping):
        members = {}
        for key, item in zip(list(value.keys()), list(value.values())):
            members[key] = item  # a later equal key replaces an earlier one
        ordered = sorted(members.items(), key=lambda kv: kv[0].encode())
        return "{" + ",".join(render(k) + ":" + render(v) for k, v in ordered) + "}"
    raise TypeError(type(value))


def stored_text(repo, value):
    commit_id = repo.commit(value, "m")
    timeline_id = repo.read_commit(commit_id)["timeline"]
    body = timeline_id[len("sha256:"):]
    data = gzip.decompress((repo.root / "objects" / body[:2] / body[2:]).read_bytes())
    assert hashlib.sha256(data).hexdigest() == body
    return data


FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 1e15, 1e16, 123456789012345.6, 1e-5, 1e-6, 0.000123,
          5e-324, 1.7976931348623157e308, 2.5e-300, 1234.5678, -86400.0, 9007199254740991.0,
          9007199254740992.0, 9007199254740994.0, 4503599627370495.5, 1e17, float("nan"),
          float("inf")]
TEXTS = ["", "a", "plain ascii text", "quote\" and \\ back", "tab\there\nnewline",
         "\x00\x01\x1f\x7f", "x" * 7 + "\"", "y" * 8 + "\n", "z" * 15 + "\\" + "z" * 9,
         "é, ü, 日本語, 😀", "\u2028\u2029", "exactly8", "sixteen bytes!!!"]


@pytest.mark.parametrize("value", [
    {"b": 1, "a": 2, "B": 3, "é": 4, "aa": 5, "": 6},
    {"z": {"y": {"x": [1, {"b": [], "a": {}}]}}, "a": None},
    [True, False, None, 0, 18446744073709551615, -9223372036854775808, -1],
    {"floats": FLOATS, "texts": TEXTS, TEXTS[3]: TEXTS[4], TEXTS[9]: TEXTS[5]},
    ("tuple", {3}, range(3)),
    Pairs([("k", 1), ("a", 2), ("k", 3)]),
    {"outer": Pairs([("b", [1]), ("b", [2]), ("a", Pairs([("y", 0), ("x", 1), ("y", 2)]))])},
    {"big": "x" * 100000, "a": 1, "small": [1, 2]},
    {"children": [{"name": str(i), "OTIO_SCHEMA": "Clip.2", "metadata": {}} for i in range(50)],
     "OTIO_SCHEMA": "Track.1", "kind": "Video", "name": "V1"},
])
def test_stored_text_is_canonical(repo, value):
    assert stored_text(repo, value).decode() == render(value)


class Frames(int):
    def __str__(self):
        return "frames"


class Seconds(float):
    def __repr__(self):
        return "seconds"


class Name(str):
    pass


def shapes(count):
    """Dicts of many shapes, the same keys inserted in different orders among them."""
    rng = random.Random(count)
    keys = ["OTIO_SCHEMA", "name", "rate", "value", "kind", "metadata", "é", "", "Z", "a" * 9]
    out = []
    for i in range(count):
        chosen = rng.sample(keys, rng.randrange(1, len(keys) + 1))
        out.append({k: i for k in chosen})
    return out


@pytest.mark.parametrize("value", [
    {f"key{i:02d}": i for i in reversed(range(40))},  # beyond the small-dict sort
    shapes(3000),  # more shapes than are remembered at once
    # ... nested in dicts that still have members to write after them
    {"z": 1, "meta": {"b": shapes(3000), "a": [{"y": 2, "x": shapes(700)}]}, "a": 2, "m": 3},
    [{"b": 1, "a": 2}, {"a": 3, "b": 4}, {"b": 5, "a": 6}],
    {"int": Frames(24), "float": Seconds(1.5), "str": Name("x\n"), "list": [Frames(-3)]},
], ids=["wide", "shapes", "nested_shapes", "orders", "subclasses"])
def test_plain_documents_of_every_shape(repo, value):
    assert stored_text(repo, value).decode() == render(value)


def random_value(rng, depth):
    kind = rng.randrange(9 if depth < 6 else 5)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, -1, 2**63 - 1, -(2**63), 2**64 - 1, rng.randrange(-10**6, 10**6)])
    if kind == 2:
        return rng.choice(FLOATS[:-2] + [rng.uniform(-1e6, 1e6), rng.random() * 1e-7])
    if kind in (3, 4):
        return "".join(rng.choice("ab\"\\\n\x01é日 ") for _ in range(rng.randrange(20)))
    if kind in (5, 6):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    keys = ["".join(rng.choice("abAB_é") for _ in range(rng.randrange(1, 4)))
            for _ in range(rng.randrange(7))]
    return {k: random_value(rng, depth + 1) for k in keys}


@pytest.mark.parametrize("seed", range(20))
def test_generated_values_store_canonical_text(repo, seed):
    value = {"seed": seed, "value": random_value(random.Random(seed), 0)}
    assert stored_text(repo, value).decode() == render(value)


def test_text_read_back_commits_to_the_same_object(repo):
    value = {"b": [1.5, "x\n"], "a": {"d": None, "c": 2**64 - 1}}
    first = repo.read_commit(repo.commit(value, "one"))["timeline"]
    again = repo.read_commit(repo.commit(repo.read_timeline("HEAD"), "two"))["timeline"]
    assert first == again


@pytest.mark.parametrize("text, expected", [
    ('{"b":1,"a":{"y":2,"x":3,"y":4}}', {"a": {"x": 3, "y": 4}, "b": 1}),
    (' [ {"k" : [] , "j":{}} , -0 , 1.5e3, "\\u00e9\\n" , 18446744073709551615 ] ',
     [{"j": {}, "k": []}, -0.0, 1500.0, "é\n", 18446744073709551615]),
])
def test_hand_written_objects_read_like_stored_ones(repo, text, expected):
    # Files from elsewhere need not be canonical: keys in any order or
    # repeated (the later wins), white space, escapes.
    commit_id = repo.commit({"placeholder": True}, "m")
    body = repo.read_commit(commit_id)["timeline"][len("sha256:"):]
    (repo.root / "objects" / body[:2] / body[2:]).write_bytes(gzip.compress(text.encode()))
    value = repo.read_timeline(commit_id)
    assert value == expected
    assert repr(value) == repr(expected)  # key order, int versus float


def test_a_damaged_stored_text_names_the_object(repo):
    commit_id = repo.commit({"placeholder": True}, "m")
    timeline_id = repo.read_commit(commit_id)["timeline"]
    body = timeline_id[len("sha256:"):]
    (repo.root / "objects" / body[:2] / body[2:]).write_bytes(gzip.compress(b'{"a":[1,}'))
    for call in (lambda: repo.read_timeline(commit_id), lambda: repo.diff_refs(commit_id, commit_id)):
        with pytest.raises(tesmo.TesmoError) as excinfo:
            call()
        assert excinfo.value.args[0] == f"parsing object {timeline_id}"
