"""Committing, reading commits and timelines back, resolving refs and walking the log."""

import os
import calendar
import re
import time

import pytest

import tesmo

Repo = tesmo.Repo
ID = re.compile(r"sha256:[0-9a-f]{64}")
COMMIT_KEYS = ["author", "message", "parents", "schema", "timeline", "timestamp"]
UNBORN = ("HEAD points at main but branch has no commits yet",)


def tesmo_error(call):
    with pytest.raises(tesmo.TesmoError) as excinfo:
        call()
    return excinfo.value.args


def wrong_type(param, type_name):
    return f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"


def type_error(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    return excinfo.value.args


def record(objects, **changes):
    """A well-formed commit record, with some members replaced or removed (None)."""
    value = {"author": {"email": "e", "name": "n"}, "message": "m", "parents": [],
             "schema": "tesmo.commit.1", "timeline": objects.put({}),
             "timestamp": "2026-01-01T00:00:00Z"}
    value.update(changes)
    return {k: v for k, v in value.items() if v is not None}


@pytest.fixture
def three(repo):
    return [repo.commit({"n": n}, f"c{n}") for n in range(3)]


class TestCommit:
    def test_first_commit(self, repo, objects):
        commit_id = repo.commit({"a": 1}, "first")
        assert ID.fullmatch(commit_id)
        assert repo.resolve(commit_id) == commit_id
        assert (repo.root / "refs/heads/main").read_bytes() == (commit_id + "\n").encode()
        assert (repo.root / "HEAD").read_bytes() == b"ref: refs/heads/main\n"
        commit = repo.read_commit(commit_id)
        assert commit["parents"] == [] and commit["timeline"] == objects.id_of({"a": 1})
        assert (commit["schema"], commit["message"]) == ("tesmo.commit.1", "first")
        # The commit id is the id of the stored record's canonical text.
        assert objects.id_of(commit) == commit_id

    def test_second_commit_has_the_first_as_parent(self, repo):
        first = repo.commit({"a": 1}, "one")
        second = repo.commit({"a": 1}, "one")
        assert second != first
        assert repo.read_commit(second)["parents"] == [first]
        assert (repo.root / "refs/heads/main").read_text() == second + "\n"

    @pytest.mark.parametrize(
        "args, kwargs, author",
        [
            ((), {}, {"email": "agent@localhost", "name": "agent"}),
            (("", ""), {}, {"email": "", "name": ""}),
            ((None, None), {}, {"email": "agent@localhost", "name": "agent"}),
            ((), {"author_email": "a@b"}, {"email": "a@b", "name": "agent"}),
            (("Ann",), {}, {"email": "agent@localhost", "name": "Ann"}),
        ],
        ids=["defaults", "empty", "none", "email-only", "name-only"],
    )
    def test_author(self, repo, args, kwargs, author):
        commit = repo.read_commit(repo.commit({}, "m", *args, **kwargs))
        assert commit["author"] == author
        assert list(commit["author"]) == ["email", "name"]

    @pytest.mark.parametrize("message", ["", "line\nline\r\n", "caf\u00e9 \U0001f3ac", "\x00"],
                             ids=["empty", "newlines", "non-ascii", "nul"])
    def test_message_kept(self, repo, message):
        assert repo.read_commit(repo.commit({}, message))["message"] == message

    def test_timestamp(self, repo):
        before = time.time()
        stamp = repo.read_commit(repo.commit({}, "m"))["timestamp"]
        after = time.time()
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", stamp)
        seconds = calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ"))
        assert int(before) - 1 <= seconds <= after + 1

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (({}, 5), {}, wrong_type("message", "int")),
            ((b"", None), {}, wrong_type("message", "NoneType")),
            (({}, "m", 1), {}, wrong_type("author_name", "int")),
            (({}, "m"), {"author_email": b"x"}, wrong_type("author_email", "bytes")),
        ],
        ids=["message", "message-before-timeline", "author-name", "author-email"],
    )
    def test_argument_types(self, repo, objects, args, kwargs, message):
        assert type_error(lambda: repo.commit(*args, **kwargs)) == (message,)
        assert objects.files() == []

    def test_lone_surrogate_in_message(self, repo, objects):
        with pytest.raises(UnicodeEncodeError):
            repo.commit({}, "\ud800")
        assert objects.files() == []

    def test_detached_head_refused_after_storing_the_timeline(self, repo, objects):
        first = repo.commit({}, "m")
        (repo.root / "HEAD").write_text(first + "\n")
        assert tesmo_error(lambda: repo.commit({"new": 1}, "m")) == (
            "cannot commit while HEAD is detached",)
        assert objects.path(objects.id_of({"new": 1})).is_file()
        assert len(objects.files()) == 3
        assert (repo.root / "refs/heads/main").read_text() == first + "\n"

    @pytest.mark.parametrize(
        "head, branch, message",
        [
            ("garbage", None, 'HEAD has unexpected contents: "garbage"'),
            ("ref: refs/heads/main", "junk\n", 'branch main has invalid contents: "junk"'),
        ],
        ids=["bad-head", "bad-branch"],
    )
    def test_bad_refs_refused(self, repo, objects, head, branch, message):
        (repo.root / "HEAD").write_text(head)
        if branch is not None:
            (repo.root / "refs/heads/main").write_text(branch)
        assert tesmo_error(lambda: repo.commit({"t": 1}, "m")) == (message,)
        timeline = objects.path(objects.id_of({"t": 1}))
        assert objects.files() == [str(timeline.relative_to(objects.dir))]

    def test_unborn_nested_branch_is_created(self, repo):
        (repo.root / "HEAD").write_text("ref: refs/heads/feature/x\n")
        commit_id = repo.commit({}, "m")
        assert (repo.root / "refs/heads/feature/x").read_text() == commit_id + "\n"
        assert not (repo.root / "refs/heads/main").exists()


class TestReadCommit:
    def test_key_orders_and_new_objects(self, repo):
        repo.commit({}, "m")
        commit = repo.read_commit("HEAD")
        assert list(commit) == COMMIT_KEYS
        again = repo.read_commit("HEAD")
        again["parents"].append("x")
        assert commit == repo.read_commit("HEAD") and commit is not again

    def test_by_short_and_branch_refs(self, repo, three):
        expected = repo.read_commit(three[1])
        for ref in (three[1][7:11], three[1][7:20], three[1][7:]):
            assert repo.read_commit(ref) == expected
        assert repo.read_commit("main") == repo.read_commit("HEAD") == repo.read_commit(three[2])

    def test_timeline_object_is_not_a_commit(self, repo, objects):
        repo.commit({"a": 1}, "m")
        timeline_id = objects.id_of({"a": 1})
        assert tesmo_error(lambda: repo.read_commit(timeline_id[7:13])) == (
            f"parsing commit {timeline_id}",)

    @pytest.mark.parametrize(
        "changes",
        [{"timestamp": None}, {"parents": "sha256:x"}, {"author": {"name": "n"}},
         {"message": 1}, {"schema": None, "timeline": None}],
        ids=["no-timestamp", "parents-string", "author-without-email", "message-int",
             "no-schema"],
    )
    def test_malformed_record(self, repo, objects, changes):
        commit_id = objects.put(record(objects, **changes))
        assert tesmo_error(lambda: repo.read_commit(commit_id)) == (f"parsing commit {commit_id}",)

    @pytest.mark.parametrize("schema, quoted", [("tesmo.commit.2", '"tesmo.commit.2"'),
                                                ('a"b\n\\', '"a\\"b\\n\\\\"'), ("", '""')],
                             ids=["other", "escaped", "empty"])
    def test_unsupported_schema(self, repo, objects, schema, quoted):
        commit_id = objects.put(record(objects, schema=schema))
        assert tesmo_error(lambda: repo.read_commit(commit_id)) == (
            f"commit {commit_id} has unsupported schema {quoted} (expected tesmo.commit.1)",)

    def test_extra_member_ignored(self, repo, objects):
        value = record(objects)
        commit_id = objects.put(dict(value, tags=["x"]))
        assert repo.read_commit(commit_id) == value

    def test_missing_object_behind_a_branch(self, repo, objects):
        missing = "sha256:" + "ab" * 32
        (repo.root / "refs/heads/main").write_text(missing + "\n")
        assert tesmo_error(lambda: repo.read_commit("HEAD")) == (
            f"opening {objects.path(missing)}",)

    def test_read_timeline(self, repo, objects):
        commit_id = repo.commit({"b": [1, (2,)], "a": None}, "m")
        timeline = repo.read_timeline(commit_id)
        assert timeline == {"a": None, "b": [1, [2]]} and list(timeline) == ["a", "b"]
        assert repo.read_timeline("HEAD") is not timeline
        gone = objects.put(record(objects, timeline="sha256:" + "cd" * 32))
        assert tesmo_error(lambda: repo.read_timeline(gone)) == (
            f"opening {objects.path('sha256:' + 'cd' * 32)}",)


class TestResolve:
    def test_refs_of_one_commit(self, repo, three):
        for ref in ("HEAD", "main", three[2], three[2][7:11], three[2][7:]):
            assert repo.resolve(ref) == three[2]
        assert repo.resolve(three[0]) == three[0]

    @pytest.mark.parametrize(
        "ref, message",
        [
            ("head", "could not resolve ref: head"),
            ("sha256:ab", "hash body too short: ab"),
            ("sha256:", "hash body too short: "),
            ("sha256:" + "0" * 64, f"ref sha256:{'0' * 64} resolves to nonexistent object"),
            ("sha256:0123", "ref sha256:0123 resolves to nonexistent object"),
            ("abc", "could not resolve ref: abc"),
            ("abcd", "could not resolve short hash abcd"),
            (" HEAD", "could not resolve ref:  HEAD"),
            ("abcd ", "could not resolve ref: abcd "),
            ("abcg", "could not resolve ref: abcg"),
        ],
        ids=["lower-head", "body-too-short", "prefix-only", "missing-full", "prefixed-short",
             "three-digits", "no-fan-out", "leading-space", "trailing-space", "not-hex"],
    )
    def test_failures(self, repo, ref, message):
        repo.commit({}, "m")
        assert tesmo_error(lambda: repo.resolve(ref)) == (message,)

    @pytest.mark.parametrize("ref", ["ABCDEF", "abCDEF"])
    def test_upper_case_finds_nothing(self, repo, objects, ref):
        objects.put({}, "sha256:abcdef" + "0" * 58)
        assert repo.resolve("abcdef") == "sha256:abcdef" + "0" * 58
        assert tesmo_error(lambda: repo.resolve(ref)) == (f"could not resolve short hash {ref}",)

    def test_fresh_repository_head(self, repo):
        assert tesmo_error(lambda: repo.resolve("HEAD")) == UNBORN

    def test_branch_beats_short_id(self, repo, three):
        short = three[0][7:13]
        repo.create_branch(short, three[1])
        assert repo.resolve(short) == three[1]

    def test_word_head_beats_branch_head(self, repo, three):
        repo.create_branch("HEAD", three[0])
        assert repo.resolve("HEAD") == three[2]

    def test_short_id_of_a_timeline(self, repo, objects):
        repo.commit({"tl": 1}, "m")
        timeline_id = objects.id_of({"tl": 1})
        assert repo.resolve(timeline_id[7:12]) == timeline_id

    def test_ambiguous_short_id(self, repo, objects):
        names = ["abcdef1" + "0" * 57, "abcdef2" + "0" * 57, "abcde3" + "0" * 58]
        for name in names:
            objects.put({}, "sha256:" + name)
        assert tesmo_error(lambda: repo.resolve("abcdef")) == (
            "short hash abcdef is ambiguous (2 matches)",)
        assert tesmo_error(lambda: repo.resolve("abcd")) == (
            "short hash abcd is ambiguous (3 matches)",)
        assert repo.resolve("abcdef2") == "sha256:" + names[1]
        assert tesmo_error(lambda: repo.resolve("abcdef4")) == (
            "could not resolve short hash abcdef4",)

    def test_nul_byte_is_part_of_the_ref(self, repo, three):
        # Refs are taken byte for byte, and no file name holds a NUL byte.
        repo.create_branch("a")
        assert tesmo_error(lambda: repo.resolve("a\x00b")) == ("could not resolve ref: a\x00b",)
        ref = three[0] + "\x00x"
        assert tesmo_error(lambda: repo.resolve(ref)) == (
            f"ref {ref} resolves to nonexistent object",)
        assert tesmo_error(lambda: repo.read_commit(ref)) == (
            f"ref {ref} resolves to nonexistent object",)

    def test_empty_ref_reads_the_heads_directory(self, repo):
        assert tesmo_error(lambda: repo.resolve("")) == (f"reading {repo.root}/refs/heads/",)

    def test_directory_of_a_nested_branch(self, repo, three):
        repo.create_branch("feature/x")
        assert tesmo_error(lambda: repo.resolve("feature")) == (
            f"reading {repo.root}/refs/heads/feature",)

    def test_argument_type(self, repo):
        assert type_error(lambda: repo.resolve(None)) == (wrong_type("refstr", "NoneType"),)


class TestLog:
    def test_fresh_repository(self, repo):
        assert repo.log() == [] and repo.log(None) == [] and repo.log(refstr=None) == []
        assert tesmo_error(lambda: repo.log("HEAD")) == UNBORN

    def test_head_that_gives_no_commit(self, repo):
        (repo.root / "HEAD").write_text("garbage")
        assert repo.log() == []
        assert tesmo_error(lambda: repo.log("HEAD")) == ('HEAD has unexpected contents: "garbage"',)

    def test_three_commits(self, repo, three):
        entries = repo.log()
        assert [type(e) for e in entries] == [tuple] * 3
        assert [e[0] for e in entries] == three[::-1]
        assert [e[1]["message"] for e in entries] == ["c2", "c1", "c0"]
        assert [e[1]["parents"] for e in entries] == [[three[1]], [three[0]], []]
        for commit_id, commit in entries:
            assert commit == repo.read_commit(commit_id) and list(commit) == COMMIT_KEYS
        assert repo.log("HEAD") == entries

    def test_from_an_older_commit(self, repo, three):
        assert [e[0] for e in repo.log(three[1][7:12])] == three[1::-1]

    def test_missing_parent_fails_as_a_whole(self, repo, objects, three):
        objects.path(three[0]).unlink()
        assert tesmo_error(lambda: repo.log()) == (f"opening {objects.path(three[0])}",)

    def test_parent_that_is_a_timeline(self, repo, objects):
        timeline = objects.put({"x": 1})
        commit_id = objects.put(record(objects, parents=[timeline]))
        assert tesmo_error(lambda: repo.log(commit_id)) == (f"parsing commit {timeline}",)

    def test_follows_the_first_parent(self, repo, objects, three):
        side = objects.put(record(objects, message="side"))
        merge = objects.put(record(objects, parents=[three[1], side]))
        assert [e[0] for e in repo.log(merge)] == [merge, three[1], three[0]]

    def test_history_loop(self, repo, objects):
        a, b = "sha256:" + "a" * 64, "sha256:" + "b" * 64
        objects.put(record(objects, parents=[b]), a)
        objects.put(record(objects, parents=[a]), b)
        assert tesmo_error(lambda: repo.log(a)) == (f"history loops back to commit {a}",)
        objects.put(record(objects, parents=[a]), a)
        assert tesmo_error(lambda: repo.log(a)) == (f"history loops back to commit {a}",)


class TestLeftovers:
    def test_stale_temporary_names_do_not_block_commits(self, repo):
        # Names a killed writer with this pid could have left behind.
        heads = repo.root / "refs" / "heads"
        for n in range(8):
            (heads / f".main.tmp-{os.getpid()}-{n}").write_text("")
        first = repo.commit({"a": 1}, "m")
        assert repo.resolve("main") == first

    def test_nul_in_a_branch_file_names_no_object(self, repo):
        c = repo.commit({"a": 1}, "m")
        (repo.root / "refs" / "heads" / "evil").write_text(c + "\0junk\n")
        with pytest.raises(tesmo.TesmoError) as excinfo:
            repo.read_commit("evil")
        assert excinfo.value.args[0].startswith("opening ")
