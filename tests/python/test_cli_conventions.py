"""The tesmo command as people type it: revisions, the conventions of git
and diff(1), hostile text in names, and outputs that cannot be written."""

import gzip
import hashlib
import json
import os
import re
import subprocess

import pytest

import tesmo
from cli_support import frames_clip, one_error_line, run, snapshot, tesmo_command, write_json
from otio_support import timeline, track

EVIL = "\x1b[2J\x1b]0;pwned\x07\u202e"
EVIL_SHOWN = "\\x1b[2J\\x1b]0;pwned\\x07\\u202e"


def cut(*clips):
    return timeline(track("V1", *clips))


@pytest.fixture
def work(tmp_path):
    run("init", cwd=tmp_path, check_status=0)
    return tmp_path


def commit(work, value, message, *extra, name="cut.otio"):
    write_json(work / name, value)
    return run("commit", name, "-m", message, *extra, cwd=work, check_status=0).stdout.strip()


def put_object(work, value):
    """Stores a value by hand as the module would, and returns its id."""
    text = json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()
    object_id = "sha256:" + hashlib.sha256(text).hexdigest()
    path = work / ".tesmo" / "objects" / object_id[7:9] / object_id[9:]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(gzip.compress(text))
    return object_id


@pytest.fixture
def merged(work):
    """main: a - b - m, where m is a merge commit whose second parent is c
    (made on a side branch from a). Returns the ids by name."""
    ids = {"a": commit(work, cut(frames_clip("a", 10)), "a")}
    ids["b"] = commit(work, cut(frames_clip("a", 12)), "b")
    repo = tesmo.Repo.open(work)
    record = repo.read_commit(ids["b"])
    ids["c"] = put_object(work, dict(record, parents=[ids["a"]], message="c",
                                     timeline=repo.read_commit(ids["a"])["timeline"]))
    ids["m"] = put_object(work, dict(record, parents=[ids["b"], ids["c"]], message="m"))
    (work / ".tesmo" / "refs" / "heads" / "main").write_text(ids["m"] + "\n")
    return ids


@pytest.mark.parametrize("revision, name", [
    ("HEAD", "m"), ("HEAD^", "b"), ("HEAD^1", "b"), ("HEAD^2", "c"), ("HEAD~1", "b"),
    ("HEAD~2", "a"), ("main~2", "a"), ("HEAD^2~1", "a"), ("HEAD^^", "a"), ("HEAD~0", "m"),
    ("HEAD^0", "m"),
])
def test_revisions_name_ancestors_and_parents(merged, work, revision, name):
    assert run("resolve", revision, cwd=work, check_status=0).stdout.strip() == merged[name]


def test_revisions_work_in_every_command_that_takes_a_ref(merged, work):
    short = merged["b"][7:19]
    assert run("log", "HEAD~1", cwd=work, check_status=0).stdout.split()[0] == short
    assert json.loads(run("show", "HEAD^2", cwd=work, check_status=0).stdout) == cut(frames_clip("a", 10))
    diff = run("diff", "HEAD~2", "HEAD~1", cwd=work, check_status=1).stdout
    assert "10 -> 12 frames" in diff
    assert run("diff", "HEAD^2", "HEAD~2", cwd=work).returncode == 0
    run("branch", "old", "--at", f"{short}~1", cwd=work, check_status=0)
    assert run("resolve", "old", cwd=work, check_status=0).stdout.strip() == merged["a"]


def test_an_unchanged_timeline_is_not_committed_again(work):
    first = commit(work, cut(frames_clip("a", 10)), "first")
    refused = run("commit", "cut.otio", "-m", "again", cwd=work)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr == (f"tesmo: nothing changed since {first[7:19]}: cut.otio holds the "
                              "timeline committed there (use --allow-empty to commit it again)\n")
    assert [c for c, _ in tesmo.Repo.open(work).log()] == [first]
    again = run("commit", "cut.otio", "-m", "again", "--allow-empty", cwd=work,
                check_status=0).stdout.strip()
    assert [c for c, _ in tesmo.Repo.open(work).log()] == [again, first]


@pytest.mark.parametrize("options, env, email", [
    (["--author", "Ana García"], {}, "ana.garcia@localhost"),
    (["--author", "  "], {}, "author@localhost"),
    (["--author", "Ana"], {"TESMO_AUTHOR_EMAIL": "ana@studio.example"}, "ana@studio.example"),
    (["--author", "Ana", "--email", "a@b.example"], {"TESMO_AUTHOR_EMAIL": "x@y"}, "a@b.example"),
    ([], {"TESMO_AUTHOR_EMAIL": "x@y"}, "agent@localhost"),
])
def test_an_author_without_an_address_is_not_the_agent(work, options, env, email):
    write_json(work / "cut.otio", cut(frames_clip("a", 10)))
    commit_id = run("commit", "cut.otio", "-m", "m", *options, cwd=work, env=env,
                    check_status=0).stdout.strip()
    assert tesmo.Repo.open(work).read_commit(commit_id)["author"]["email"] == email


def test_quiet_prints_nothing_even_json(work):
    write_json(work / "a.otio", cut(frames_clip("a", 10)))
    write_json(work / "b.otio", cut(frames_clip("a", 12)))
    result = run("diff", "a.otio", "b.otio", "-q", "--json", cwd=work)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", "")


def test_columns_line_up_whatever_the_length_of_names(work):
    long_name = "a clip name well over twenty-five characters"
    commit(work, cut(frames_clip("x", 10), frames_clip(long_name, 5)), "one", "--author", "A very long author name")
    commit(work, cut(frames_clip("x", 12), frames_clip(long_name, 7)), "two")
    run("branch", "a-much-longer-branch-name", cwd=work, check_status=0)
    lines = run("diff", "HEAD~1", "HEAD", cwd=work, check_status=1).stdout.splitlines()
    changes = [line for line in lines if line.startswith("  clip ")]
    assert len(changes) == 2
    assert len({line.index(" trimmed tail +2: ") for line in changes}) == 1, changes
    for listing in ("log", "branch"):
        rows = run(listing, cwd=work, check_status=0).stdout.splitlines()
        # The last column starts at one place on every row.
        starts = {re.search(r"\S+$", row).start() for row in rows}
        assert len(starts) == 1, rows


@pytest.mark.parametrize("clips_after, summary", [
    ([frames_clip("a", 10, effects=1)], "1 change: 1 effects changed"),
    ([frames_clip("a", 10), frames_clip("b", 5)], "1 change: 1 added"),
    ([frames_clip("a", 10), frames_clip("b", 5), frames_clip("c", 5)], "2 changes: 2 added"),
])
def test_counts_take_the_singular_or_the_plural(work, clips_after, summary):
    write_json(work / "a.otio", cut(frames_clip("a", 10)))
    write_json(work / "b.otio", cut(*clips_after))
    out = run("diff", "a.otio", "b.otio", cwd=work, check_status=1).stdout
    assert out.splitlines()[-1] == summary
    if "effects" in summary:
        assert out.splitlines()[1] == "  clip 1 `a`  effects changed: none -> `fx0`"


def test_transitions_are_counted_singular(work):
    dissolve = {"OTIO_SCHEMA": "Transition.1", "name": "dissolve", "transition_type": "SMPTE_Dissolve",
                "in_offset": {"OTIO_SCHEMA": "RationalTime.1", "value": 6, "rate": 24},
                "out_offset": {"OTIO_SCHEMA": "RationalTime.1", "value": 6, "rate": 24}}
    write_json(work / "a.otio", cut(frames_clip("a", 10), frames_clip("b", 10)))
    write_json(work / "b.otio", cut(frames_clip("a", 10), dissolve, frames_clip("b", 10)))
    out = run("diff", "a.otio", "b.otio", cwd=work, check_status=1).stdout
    assert out.splitlines()[-1] == "1 change: 1 transition added"


def test_hostile_text_is_shown_escaped(work):
    first = commit(work, cut(frames_clip("a", 10)), "first")
    commit(work, cut(frames_clip("a", 10), frames_clip(EVIL, 5, media=f"file:///{EVIL}.mov")),
           f"msg {EVIL}", "--author", f"au {EVIL}")
    for args in (["diff", "HEAD~1", "HEAD"], ["log"], ["log", "--clip", EVIL]):
        out = run(*args, cwd=work).stdout
        assert "\x1b" not in out and "\u202e" not in out and "\x07" not in out, args
        assert EVIL_SHOWN in out, (args, out)
    message = one_error_line(run("resolve", f"x{EVIL}\nmore", cwd=work))
    assert message == f"could not resolve ref: x{EVIL_SHOWN}\\nmore"
    assert first


def test_broken_pipe_ends_silently(work):
    write_json(work / "a.otio", cut(*[frames_clip(f"c{i}", 10) for i in range(3000)]))
    write_json(work / "b.otio", cut(*[frames_clip(f"c{i}", 12) for i in range(3000)]))
    # Line by line, so that writes go on after the reader has left.
    process = subprocess.Popen(tesmo_command() + ["diff", "a.otio", "b.otio"], cwd=work,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(10)
    process.stdout.close()
    assert process.wait(timeout=60) == 141
    assert process.stderr.read() == b""


def test_work_done_stands_when_its_output_cannot_be_written(work):
    write_json(work / "cut.otio", cut(frames_clip("a", 10)))
    with open("/dev/full", "w") as full:
        done = subprocess.run(tesmo_command() + ["commit", "cut.otio", "-m", "m"], cwd=work,
                              stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == 0
    (commit_id,) = [c for c, _ in tesmo.Repo.open(work).log()]
    assert done.stderr == ("tesmo: done, but the result could not be written to stdout: "
                           f"No space left on device: {commit_id}\n")
    # A command whose work is its output fails: stdout closed.
    closed = subprocess.run(tesmo_command() + ["log"], cwd=work, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, timeout=60,
                            preexec_fn=lambda: os.close(1))
    assert (closed.returncode, closed.stderr) == (2, "tesmo: stdout is closed\n")


def test_failures_exit_2_with_stderr_closed(work):
    done = subprocess.run(tesmo_command() + ["diff", "nosuch", "HEAD"], cwd=work,
                          stdout=subprocess.PIPE, timeout=60, preexec_fn=lambda: os.close(2))
    assert done.returncode == 2


@pytest.mark.parametrize("head, outcome", [
    (None, (0, "")),  # unborn main: no history yet
    ("garbage\n", (2, 'tesmo: HEAD has unexpected contents: "garbage"\n')),
    ("", (2, 'tesmo: HEAD has unexpected contents: ""\n')),
    ("missing", (2, "tesmo: reading {root}/HEAD\n")),
])
def test_log_reports_a_broken_head(work, head, outcome):
    root = work / ".tesmo"
    if head == "missing":
        (root / "HEAD").unlink()
    elif head is not None:
        (root / "HEAD").write_text(head)
    result = run("log", cwd=work)
    assert (result.returncode, result.stderr) == (outcome[0], outcome[1].format(root=root))
    assert result.stdout == ""


def test_a_damaged_object_is_named_with_its_path(work):
    commit(work, cut(frames_clip("a", 10)), "first")
    run("branch", "cut.edl", cwd=work, check_status=0)
    repo = tesmo.Repo.open(work)
    timeline_id = repo.read_commit("HEAD")["timeline"]
    path = work / ".tesmo" / "objects" / timeline_id[7:9] / timeline_id[9:]
    path.write_bytes(b"\x1f\x8b\x08\x00garbage")
    commit(work, cut(frames_clip("a", 12)), "second")
    before = snapshot(work)
    for ref, args in (("cut.edl", ["diff", "cut.edl", "main"]), ("cut.edl", ["show", "cut.edl"]),
                      ("HEAD~1", ["show", "HEAD~1"]), ("HEAD~1", ["diff", "HEAD~1", "HEAD"])):
        message = one_error_line(run(*args, cwd=work))
        assert re.fullmatch(rf"{re.escape(ref)}: the timeline of commit [0-9a-f]{{12}} is damaged or "
                            rf"unreadable \({re.escape(str(path))}\): .+", message), message
    assert snapshot(work) == before


def test_ids_from_a_hostile_store_are_shown_escaped(work):
    first = commit(work, cut(frames_clip("a", 10)), "first")
    heads = work / ".tesmo" / "refs" / "heads"
    (heads / "evil").write_text("sha256:ab\x1b]0;owned\x07\x1b[31mRED\n")
    for args in (["branch"], ["resolve", "evil"]):
        out = run(*args, cwd=work, check_status=0).stdout
        assert "\x1b" not in out and "\x07" not in out and "\\x1b" in out, (args, out)
    # A hand-made commit whose parent is a ref back to itself: ~N stops.
    repo = tesmo.Repo.open(work)
    looping = put_object(work, dict(repo.read_commit(first), parents=["main"]))
    (heads / "main").write_text(looping + "\n")
    message = one_error_line(run("resolve", "HEAD~5", cwd=work))
    assert message.startswith("HEAD~5: history loops back to commit "), message
