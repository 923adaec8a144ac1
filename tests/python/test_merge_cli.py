"""tesmo merge, tesmo merge-base and tesmo commit --merge, through the
installed command on real repositories.

The store's side (merge bases, ancestry, fast-forwards, merge commits) and
the three-way merges, which run the core's merge engine."""

import copy
import json

import pytest

import tesmo
import tesmo_cli
from cli_support import one_error_line, run, snapshot, write_json
from otio_support import clip, rng, timeline, track


def cut(intro=48, interview=120, outro_media="outro.mov", music=192):
    return timeline(
        track("V1", clip("intro", "intro.mov", duration=intro),
              clip("interview", "interview.mov", duration=interview),
              clip("outro", outro_media, duration=24)),
        track("A1", clip("music", "music.mov", duration=music), kind="Audio"))


BASE = cut()


@pytest.fixture
def work(tmp_path):
    run("init", cwd=tmp_path, check_status=0)
    return tmp_path


def commit(work, document, message, *extra):
    write_json(work / "cut.otio", document)
    return run("commit", "cut.otio", "-m", message, "--allow-empty", *extra,
               cwd=work, check_status=0).stdout.strip()


def git(work, *args):
    """A command that must succeed (branch, switch)."""
    return run(*args, cwd=work, check_status=0).stdout


def repo(work):
    return tesmo.Repo.discover(str(work))


def diverged(work, ours, theirs):
    """main: BASE then ours; side: BASE then theirs; main checked out.
    Returns (base, ours, theirs) commit ids."""
    base = commit(work, BASE, "assembly")
    git(work, "branch", "side")
    mine = commit(work, ours, "ours")
    git(work, "switch", "side")
    other = commit(work, theirs, "theirs")
    git(work, "switch", "main")
    return base, mine, other


def store(work):
    return snapshot(work / ".tesmo")


def short(commit_id):
    return commit_id.split(":", 1)[1][:12]


# ----------------------------------------------------------------------------
# Without a three-way merge


@pytest.mark.parametrize("ref", ["side", "HEAD", "main~1"])
def test_a_ref_already_in_head_is_up_to_date_and_nothing_is_written(work, ref):
    commit(work, BASE, "assembly")
    git(work, "branch", "side")
    commit(work, cut(interview=96), "tighter")
    before = store(work)
    result = run("merge", ref, cwd=work, check_status=0)
    assert result.stdout == "already up to date\n" and result.stderr == ""
    assert store(work) == before


def test_head_in_the_history_of_ref_fast_forwards(work):
    base = commit(work, BASE, "assembly")
    git(work, "branch", "side")
    git(work, "switch", "side")
    commit(work, cut(interview=100), "one")
    ahead = commit(work, cut(interview=90), "two")
    git(work, "switch", "main")
    objects = snapshot(work / ".tesmo" / "objects")
    result = run("merge", "side", cwd=work, check_status=0)
    assert result.stdout == f"fast-forward {short(base)}..{short(ahead)}\n"
    assert repo(work).resolve("main") == ahead and repo(work).current_branch() == "main"
    assert snapshot(work / ".tesmo" / "objects") == objects  # no commit was made
    assert run("merge", "side", cwd=work, check_status=0).stdout == "already up to date\n"


@pytest.mark.parametrize("outcome", ["fast-forward", "up-to-date"])
def test_json_of_merges_that_need_no_engine(work, outcome):
    base = commit(work, BASE, "assembly")
    git(work, "branch", "side")
    if outcome == "fast-forward":
        git(work, "switch", "side")
        moved = commit(work, cut(interview=90), "theirs")
        git(work, "switch", "main")
    else:
        commit(work, cut(interview=90), "ours")
        moved = None
    # From elsewhere, with -C.
    printed = json.loads(run("-C", work, "merge", "side", "--json", cwd=work.parent,
                             check_status=0).stdout)
    assert printed == {"schema": "tesmo.merge/1", "status": outcome, "commit": moved,
                       "base": base, "conflicts": [], "warnings": []}


def test_merge_base_on_a_diamond_and_unrelated_histories(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(outro_media="outro_v2.mov"))
    assert git(work, "merge-base", "main", "side") == base + "\n"
    assert git(work, "merge-base", short(theirs), "main~1") == base + "\n"
    assert git(work, "merge-base", "main", "main~1") == base + "\n"
    # Settled by hand: the merge commit's second parent leads to side.
    write_json(work / "settled.otio", cut(interview=96, outro_media="outro_v2.mov"))
    merged = run("commit", "settled.otio", "-m", "settle", "--merge", "side",
                 cwd=work, check_status=0).stdout.strip()
    assert repo(work).read_commit(merged)["parents"] == [ours, theirs]
    assert git(work, "merge-base", "main", "side") == theirs + "\n"
    git(work, "switch", "side")
    later = commit(work, cut(interview=80), "later")
    assert git(work, "merge-base", "side", "main") == theirs + "\n"
    assert git(work, "merge-base", later, merged) == theirs + "\n"

    # A branch started from nothing shares no history with main.
    (work / ".tesmo" / "HEAD").write_text("ref: refs/heads/orphan\n")
    commit(work, BASE, "elsewhere")
    result = run("merge-base", "orphan", "main", cwd=work)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "tesmo: orphan and main have no common ancestor\n"


def test_log_shows_merge_commits(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(outro_media="outro_v2.mov"))
    write_json(work / "settled.otio", cut(interview=96, outro_media="outro_v2.mov"))
    merged = run("commit", "settled.otio", "-m", "settle", "--merge", "side",
                 cwd=work, check_status=0).stdout.strip()
    lines = git(work, "log").splitlines()
    assert len(lines) == 4
    assert lines[0].startswith(short(merged)) and lines[0].endswith("settle")
    assert lines[1] == f"    Merge: {short(ours)} {short(theirs)}"
    assert [line.split()[0] for line in lines[2:]] == [short(ours), short(base)]
    records = json.loads(git(work, "log", "--json"))
    assert [record["parents"] for record in records] == [[ours, theirs], [base], []]


def test_commit_merge_takes_the_settled_file_and_warns_of_markers_left(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(interview=100))
    settled = cut(interview=110)
    settled["tracks"]["children"][0]["children"][1]["markers"] = [{
        "OTIO_SCHEMA": "Marker.2", "name": "conflict: both trimmed", "color": "RED",
        "marked_range": rng(0, 110), "comment": "",
        "metadata": {"tesmo": {"conflict": {"kind": "both_trimmed"}}}}]
    write_json(work / "settled.otio", settled)
    result = run("commit", "settled.otio", "-m", "settle", "--merge", "side", "--author", "Ana",
                 cwd=work, check_status=0)
    assert result.stderr == ("tesmo: settled.otio still holds 1 conflict marker of tesmo merge; "
                             "they are committed as they are\n")
    record = repo(work).read_commit(result.stdout.strip())
    assert record["parents"] == [ours, theirs]
    assert record["author"] == {"name": "Ana", "email": "ana@localhost"}
    assert repo(work).read_timeline("main") == settled
    assert repo(work).resolve("side") == theirs


FAILURES = [
    (["merge", "nowhere"], None),
    (["merge", "side", "-X", "both"], None),
    (["merge-base", "main", "nowhere"], None),
    (["commit", "cut.otio", "-m", "m", "--merge", "main~1"],
     "main~1 is already in the history of main: nothing to merge"),
    (["commit", "cut.otio", "-m", "m", "--merge", "main"],
     "main is already in the history of main: nothing to merge"),
]


@pytest.mark.parametrize("args, expected", FAILURES, ids=[" ".join(a) for a, _ in FAILURES])
def test_refused_merges_are_one_line_exit_2_and_change_nothing(work, args, expected):
    diverged(work, cut(interview=96), cut(interview=100))
    write_json(work / "cut.otio", cut(interview=50))
    before = snapshot(work)
    message = one_error_line(run(*args, cwd=work))
    if expected is not None:
        assert message == expected
    assert snapshot(work) == before


@pytest.mark.parametrize("setup, expected", [
    ("detached", "cannot merge while HEAD is detached"),
    ("unborn", "branch fresh has no commits yet: nothing to merge into"),
    ("unrelated", "side and orphan have no common ancestor: unrelated histories are not merged"),
])
def test_merges_without_a_branch_to_merge_into_are_refused(work, setup, expected):
    base, _, theirs = diverged(work, cut(interview=96), cut(interview=100))
    head = work / ".tesmo" / "HEAD"
    if setup == "detached":
        head.write_text(base + "\n")
    elif setup == "unborn":
        head.write_text("ref: refs/heads/fresh\n")
    else:
        head.write_text("ref: refs/heads/orphan\n")
        commit(work, BASE, "elsewhere")
    before = snapshot(work)
    assert one_error_line(run("merge", "side", cwd=work)) == expected
    if setup != "unrelated":
        write_json(work / "cut.otio", BASE)
        before = snapshot(work)
        assert one_error_line(run("commit", "cut.otio", "-m", "x", "--merge", "side",
                                  cwd=work)).startswith(("cannot commit", "branch fresh"))
    assert snapshot(work) == before
    assert repo(work).resolve("side") == theirs


# ----------------------------------------------------------------------------
# Three-way merges


def v1_lengths(document):
    return [item["source_range"]["duration"]["value"]
            for item in document["tracks"]["children"][0]["children"]]


def test_a_clean_merge_commits_both_parents_and_log_shows_it(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(outro_media="outro_v2.mov"))
    result = run("merge", "side", cwd=work, check_status=0)
    merged = result.stdout.strip()
    record = repo(work).read_commit(merged)
    assert record["parents"] == [ours, theirs]
    assert record["message"] == "merge side"
    assert repo(work).resolve("main") == merged and repo(work).resolve("side") == theirs
    assert repo(work).read_timeline("main") == cut(interview=96, outro_media="outro_v2.mov")
    assert git(work, "log").splitlines()[1] == f"    Merge: {short(ours)} {short(theirs)}"
    # Merged once, side is in main's history.
    assert run("merge", "side", cwd=work, check_status=0).stdout == "already up to date\n"
    assert git(work, "merge-base", "main", "side") == theirs + "\n"


def test_a_conflict_lists_itself_exits_1_and_moves_nothing(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(interview=100))
    before = store(work)
    result = run("merge", "side", "-m", "never", cwd=work)
    assert result.returncode == 1, result.stderr
    [line] = result.stdout.splitlines()
    assert line.startswith('conflict: V1 clip 2 "interview": ')
    assert line.endswith("(base 120 frames, ours 96 frames, theirs 100 frames)")
    assert result.stderr.startswith("tesmo: 1 conflict: nothing was committed")
    assert store(work) == before


@pytest.mark.parametrize("favor, interview", [("ours", 96), ("theirs", 100)])
def test_minus_x_settles_every_conflict_one_way_and_commits(work, favor, interview):
    base, ours, theirs = diverged(work, cut(interview=96, music=150),
                                  cut(interview=100, outro_media="outro_v2.mov"))
    result = run("merge", "side", "-X", favor, "--author", "Ana", cwd=work, check_status=0)
    notes = result.stderr.splitlines()
    assert notes[0] == f"tesmo: 1 conflict settled in favour of {favor}:"
    assert notes[1].startswith('tesmo:   V1 clip 2 "interview": ') and len(notes) == 2
    record = repo(work).read_commit(result.stdout.strip())
    assert record["parents"] == [ours, theirs]
    assert record["author"]["name"] == "Ana"
    merged = repo(work).read_timeline("main")
    # The conflicting trim goes one way; the edits only one side made stay.
    assert v1_lengths(merged) == [48, interview, 24]
    assert merged == cut(interview=interview, outro_media="outro_v2.mov", music=150)


def test_json_lists_conflicts_with_their_places(work):
    base, ours, theirs = diverged(work, cut(interview=96), cut(interview=100))
    result = run("merge", "side", "--json", cwd=work)
    assert result.returncode == 1
    printed = json.loads(result.stdout)
    assert list(printed) == ["schema", "status", "commit", "base", "conflicts", "warnings"]
    assert (printed["schema"], printed["status"], printed["commit"], printed["base"]) == \
        ("tesmo.merge/1", "conflicts", None, base)
    [conflict] = printed["conflicts"]
    assert {"kind", "track", "base_index", "ours_index", "theirs_index", "base", "ours", "theirs",
            "message"} <= set(conflict)
    assert (conflict["track"], conflict["base_index"], conflict["ours_index"],
            conflict["theirs_index"]) == ("V1", 1, 1, 1)
    assert isinstance(printed["warnings"], list)


def test_output_file_marks_conflicts_then_commit_merge_settles_them(work):
    base, ours, theirs = diverged(work, cut(interview=96),
                                  cut(interview=100, outro_media="outro_v2.mov"))
    before = store(work)
    result = run("merge", "side", "-o", "merged.otio", "--annotate", "notes.otio",
                 "--html", "merge.html", cwd=work)
    assert result.returncode == 1
    assert store(work) == before
    written = json.loads((work / "merged.otio").read_text())
    clips = written["tracks"]["children"][0]["children"]
    [mark] = clips[1]["markers"]
    assert mark["color"] == "RED" and mark["name"].startswith("conflict: ")
    assert mark["metadata"]["tesmo"]["conflict"]["track"] == "V1"
    assert clips[1]["source_range"]["duration"]["value"] == 96  # ours at the conflict
    assert clips[2]["media_reference"]["target_url"] == "outro_v2.mov"
    assert all(not c.get("markers") for i, c in enumerate(clips) if i != 1)
    notes = json.loads((work / "notes.otio").read_text())
    assert len(notes["tracks"]["children"][0]["children"][1]["markers"]) >= 2  # change + conflict
    assert (work / "merge.html").read_text().startswith("<!DOCTYPE html>")

    settled = copy.deepcopy(written)
    del settled["tracks"]["children"][0]["children"][1]["markers"]
    settled["tracks"]["children"][0]["children"][1]["source_range"]["duration"]["value"] = 98
    write_json(work / "merged.otio", settled)
    result = run("commit", "merged.otio", "-m", "settled", "--merge", "side",
                 cwd=work, check_status=0)
    assert result.stderr == ""
    assert repo(work).read_commit(result.stdout.strip())["parents"] == [ours, theirs]
    assert repo(work).read_timeline("main") == settled
    assert run("merge", "side", cwd=work, check_status=0).stdout == "already up to date\n"


def test_a_branch_moved_during_the_merge_is_not_overwritten(work):
    # The merge commit names the branch's commit it was worked out against;
    # the store refuses it once the branch is elsewhere.
    base, ours, theirs = diverged(work, cut(interview=96), cut(outro_media="outro_v2.mov"))
    merged = tesmo_cli.merge_timelines(repo(work).read_timeline(base),
                                       repo(work).read_timeline(ours),
                                       repo(work).read_timeline(theirs))
    moved = commit(work, cut(interview=90), "meanwhile")
    from tesmo_cli._engine import commit_merge
    with pytest.raises(tesmo.TesmoError, match="moved to .* while the merge was made"):
        commit_merge(str(repo(work).root), merged.timeline, "late", [ours, theirs])
    assert repo(work).resolve("main") == moved


def shot(start, frames):
    """A clip over part of media 100 frames long."""
    value = clip("shot", "shot.mov", start=start, duration=frames)
    value["media_reference"]["available_range"] = rng(0, 100)
    return value


@pytest.mark.parametrize("json_output", [False, True])
def test_warnings_go_to_stderr_and_the_merge_still_commits(work, json_output):
    # Ours extends the head, theirs the tail past the media's end: merged,
    # the clip runs outside what the media holds.
    diverged_docs = [timeline(track("V1", shot(10, 80))), timeline(track("V1", shot(0, 90))),
                     timeline(track("V1", shot(10, 95)))]
    base = commit(work, diverged_docs[0], "assembly")
    git(work, "branch", "side")
    ours = commit(work, diverged_docs[1], "head")
    git(work, "switch", "side")
    theirs = commit(work, diverged_docs[2], "tail")
    git(work, "switch", "main")
    result = run("merge", "side", *(["--json"] if json_output else []), cwd=work, check_status=0)
    [warning] = result.stderr.splitlines()
    assert warning.startswith('tesmo: warning: V1 clip 1 "shot": ')
    merged = repo(work).resolve("main")
    assert repo(work).read_commit(merged)["parents"] == [ours, theirs]
    assert repo(work).read_timeline("main")["tracks"]["children"][0]["children"][0][
        "source_range"] == rng(0, 105)
    if json_output:
        printed = json.loads(result.stdout)
        assert (printed["status"], printed["commit"], printed["base"], printed["conflicts"]) == \
            ("merged", merged, base, [])
        [record] = printed["warnings"]
        assert (record["kind"], record["track"], record["index"]) == ("range", "V1", 0)
    else:
        assert result.stdout == merged + "\n"


@pytest.mark.parametrize("favor", [None, "theirs"])
def test_conflict_markers_follow_clips_the_other_side_shifted(work, favor):
    # Theirs puts a slate first: the conflicting clip is third when merged.
    slated = cut(interview=100)
    slated["tracks"]["children"][0]["children"].insert(0, clip("slate", "slate.mov", duration=12))
    diverged(work, cut(interview=96), slated)
    result = run("merge", "side", "-o", "merged.otio", "--json",
                 *(["-X", favor] if favor else []), cwd=work)
    assert result.returncode == (0 if favor else 1), result.stderr
    [conflict] = json.loads(result.stdout)["conflicts"]
    assert (conflict["track"], conflict["ours_index"], conflict["theirs_index"],
            conflict["merged_track"], conflict["merged_index"]) == ("V1", 1, 2, "V1", 2)
    clips = json.loads((work / "merged.otio").read_text())["tracks"]["children"][0]["children"]
    assert [c["name"] for c in clips] == ["slate", "intro", "interview", "outro"]
    assert [c["name"] for c in clips if c.get("markers")] == ["interview"]
    assert clips[2]["source_range"]["duration"]["value"] == (100 if favor else 96)


# ----------------------------------------------------------------------------
# The functions under the command


def test_engine_functions_on_a_diamond(work):
    from tesmo_cli import _engine

    base, ours, theirs = diverged(work, cut(interview=96), cut(outro_media="outro_v2.mov"))
    root = repo(work).root  # a path object is taken as well as a string
    assert _engine.merge_base(root, "main", "side") == base
    assert [_engine.is_ancestor(root, a, b) for a, b in
            [(base, ours), (ours, base), (theirs, ours), (ours, ours)]] == [True, False, False, True]
    with pytest.raises(tesmo.TesmoError, match="not an ancestor"):
        _engine.fast_forward(root, "main", ours, theirs)
    with pytest.raises(tesmo.TesmoError, match=r"branch side moved to .* \(expected "):
        _engine.fast_forward(root, "side", ours, theirs)
    assert repo(work).resolve("main") == ours and repo(work).resolve("side") == theirs

    (work / ".tesmo" / "HEAD").write_text("ref: refs/heads/orphan\n")
    lone = commit(work, BASE, "elsewhere")
    assert _engine.merge_base(root, lone, "main") is None


def test_a_fast_forward_waiting_for_the_lock_stops_on_ctrl_c(work):
    import signal
    import subprocess
    import time
    from pathlib import Path

    from cli_support import tesmo_command
    from lock_support import hold, release

    commit(work, BASE, "assembly")
    git(work, "branch", "side")
    git(work, "switch", "side")
    commit(work, cut(interview=90), "ahead")
    git(work, "switch", "main")
    holder = hold(repo(work))
    try:
        before = store(work)
        process = subprocess.Popen(tesmo_command() + ["merge", "side"], cwd=work,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wchan = Path(f"/proc/{process.pid}/wchan")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and "nanosleep" not in wchan.read_text():
            time.sleep(0.05)
        if "nanosleep" not in wchan.read_text():
            process.kill()
            process.communicate()
            pytest.skip("cannot see the process wait for the lock")
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
        assert (process.returncode, stdout, stderr) == (130, "", "")
        assert store(work) == before
    finally:
        release(holder)
