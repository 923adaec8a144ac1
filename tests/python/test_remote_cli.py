"""The remote commands as an editor meets them, over a bare repository on
this machine: a pull that conflicts and how it is settled, remote-tracking
refs beside local branches, and the remote list."""

import json

import pytest

import tesmo
from cli_support import one_error_line, write_json
from otio_support import clip, timeline, track
from remote_support import Remote, git, run_tesmo


def cut(first=48, second=120, third=24):
    return timeline(track("V1", clip("intro", "intro.mov", duration=first),
                          clip("interview", "interview.mov", duration=second),
                          clip("outro", "outro.mov", duration=third)))


@pytest.fixture
def remote(tmp_path):
    served = Remote("path", tmp_path / "remote")
    yield served
    served.stop()


@pytest.fixture
def pair(remote, tmp_path):
    """Two clones, a and b, of a remote holding one commit."""
    a = tmp_path / "a"
    a.mkdir()
    tesmo.Repo.init(str(a)).commit(cut(), "assembly")
    run_tesmo("remote", "add", "origin", remote.url, cwd=a, env=remote.env, status=0)
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    run_tesmo("clone", remote.url, "b", cwd=tmp_path, env=remote.env, status=0)
    return a, tmp_path / "b"


def tesmo_cmd(work, remote, *args, status=None):
    return run_tesmo(*args, cwd=work, env=remote.env, status=status)


def commit(work, remote, document, message):
    write_json(work / "cut.otio", document)
    return tesmo_cmd(work, remote, "commit", "cut.otio", "-m", message, status=0).stdout.strip()


def clips(document):
    return [item["source_range"]["duration"]["value"]
            for item in document["tracks"]["children"][0]["children"]]


@pytest.mark.parametrize("settle, kept", [("-X ours", 100), ("-X theirs", 90)])
def test_a_conflicting_pull_commits_nothing_until_settled(pair, remote, settle, kept):
    a, b = pair
    commit(b, remote, cut(second=90), "b trims the interview")
    tesmo_cmd(b, remote, "push", status=0)
    ours = commit(a, remote, cut(second=100), "a trims it too")

    refused = tesmo_cmd(a, remote, "pull", status=1)
    assert "conflict: V1 clip 2" in refused.stdout
    assert "--merge origin/main" in refused.stderr
    assert tesmo_cmd(a, remote, "resolve", "HEAD", status=0).stdout.strip() == ours

    merged = tesmo_cmd(a, remote, "pull", *settle.split(), status=0).stdout.strip().splitlines()[-1]
    record = tesmo.Repo.discover(str(a)).read_commit(merged)
    assert record["parents"] == [ours, tesmo_cmd(a, remote, "resolve", "origin/main",
                                                 status=0).stdout.strip()]
    shown = json.loads(tesmo_cmd(a, remote, "show", "HEAD", status=0).stdout)
    assert clips(shown)[1] == kept
    tesmo_cmd(a, remote, "push", status=0)
    tesmo_cmd(b, remote, "pull", status=0)
    assert tesmo_cmd(b, remote, "resolve", "HEAD", status=0).stdout.strip() == merged


def test_a_pull_writes_the_conflicts_for_the_editor_to_settle(pair, remote):
    a, b = pair
    commit(b, remote, cut(third=12), "b shortens the outro")
    tesmo_cmd(b, remote, "push", status=0)
    commit(a, remote, cut(third=30), "a lengthens it")
    tesmo_cmd(a, remote, "pull", "-o", "settle.otio", status=1)
    written = json.loads((a / "settle.otio").read_text())
    assert clips(written) == [48, 120, 30]  # ours at the conflict
    settled = tesmo_cmd(a, remote, "commit", "settle.otio", "-m", "settled", "--merge",
                        "origin/main", status=0).stdout.strip()
    tesmo_cmd(a, remote, "push", status=0)
    assert git(remote.bare, "log", "-1", "--format=%B", "refs/tesmo/heads/main").strip() \
        .endswith(f"Tesmo-Commit: {settled}")


def test_remote_tracking_refs_name_what_the_last_fetch_saw(pair, remote):
    a, b = pair
    first = tesmo_cmd(b, remote, "resolve", "HEAD", status=0).stdout.strip()
    newer = commit(a, remote, cut(first=40), "a trims the intro")
    tesmo_cmd(a, remote, "push", status=0)
    # Not fetched yet: b still sees the old state.
    assert tesmo_cmd(b, remote, "resolve", "origin/main", status=0).stdout.strip() == first
    fetched = tesmo_cmd(b, remote, "fetch", status=0)
    assert fetched.stdout.strip() == f"origin/main: {first[7:19]}..{newer[7:19]}"
    assert tesmo_cmd(b, remote, "resolve", "origin/main", status=0).stdout.strip() == newer
    assert tesmo_cmd(b, remote, "resolve", "origin/main~1", status=0).stdout.strip() == first
    assert tesmo_cmd(b, remote, "diff", "main", "origin/main", status=1).stdout
    listed = tesmo_cmd(b, remote, "branch", "-r", status=0).stdout.split()
    assert listed == ["origin/main", newer[7:19]]
    # A local branch of the same name comes first, as it does in git.
    tesmo_cmd(b, remote, "branch", "origin/main", "--at", "HEAD", status=0)
    assert tesmo_cmd(b, remote, "resolve", "origin/main", status=0).stdout.strip() == first


def test_pull_into_an_unborn_branch_starts_it_at_the_remote(pair, remote, tmp_path):
    a, _ = pair
    fresh = tmp_path / "fresh"
    fresh.mkdir()
    tesmo.Repo.init(str(fresh))
    tesmo_cmd(fresh, remote, "remote", "add", "origin", remote.url, status=0)
    tesmo_cmd(fresh, remote, "pull", status=0)
    assert tesmo_cmd(fresh, remote, "resolve", "main", status=0).stdout.strip() == \
        tesmo_cmd(a, remote, "resolve", "main", status=0).stdout.strip()


def test_the_remote_list_and_its_changes(pair, remote, tmp_path):
    a, _ = pair
    tesmo_cmd(a, remote, "remote", "add", "backup", str(tmp_path / "elsewhere.git"),
              "--branch-prefix", "tesmo/", status=0)
    assert tesmo_cmd(a, remote, "remote", status=0).stdout.split() == ["backup", "origin"]
    verbose = tesmo_cmd(a, remote, "remote", "-v", status=0).stdout.splitlines()
    assert verbose[0].startswith("backup\t") and verbose[0].endswith("(refs/heads/tesmo/*)")
    assert verbose[1] == f"origin\t{remote.url}"
    assert "already exists" in one_error_line(
        tesmo_cmd(a, remote, "remote", "add", "origin", str(tmp_path / "x.git")))
    for bad in ("a/b", "x:y", ".hidden", "na me"):
        assert "invalid remote name" in one_error_line(
            tesmo_cmd(a, remote, "remote", "add", bad, str(tmp_path / "x.git")))
    tesmo_cmd(a, remote, "remote", "remove", "origin", status=0)
    assert tesmo_cmd(a, remote, "remote", status=0).stdout.split() == ["backup"]
    # Its remote-tracking refs went with it.
    assert not (a / ".tesmo" / "refs" / "remotes" / "origin").exists()
    assert "no remote named origin" in one_error_line(tesmo_cmd(a, remote, "fetch", "origin"))
    # With one remote left, it is the default.
    assert "backup" in one_error_line(tesmo_cmd(a, remote, "fetch"))


@pytest.mark.parametrize("args, words", [
    (("push", "origin", "--all", "main"), "--all pushes every branch"),
    (("push", "origin", "nowhere"), "branch nowhere has no commits to push"),
    (("pull", "origin", "nowhere"), "origin has no branch nowhere"),
    (("remote", "add", "--branch-prefix", "tesmo", "x", "y"), "ends with '/'"),
])
def test_refusals_are_one_line(pair, remote, args, words):
    a, _ = pair
    assert words in one_error_line(tesmo_cmd(a, remote, *args))


def test_branches_whose_names_nest_replace_each_other(pair, remote):
    """A remote branch feat/x gone and feat made, and the other way round:
    each fetch follows."""
    a, b = pair
    tesmo_cmd(a, remote, "branch", "feat/x", status=0)
    tesmo_cmd(a, remote, "push", "origin", "feat/x", status=0)
    tesmo_cmd(b, remote, "fetch", status=0)
    git(remote.bare, "update-ref", "-d", "refs/tesmo/heads/feat/x")
    git(remote.bare, "update-ref", "refs/tesmo/heads/feat", "refs/tesmo/heads/main")
    tesmo_cmd(b, remote, "fetch", status=0)
    assert [line.split()[0] for line in
            tesmo_cmd(b, remote, "branch", "-r", status=0).stdout.splitlines()] == \
        ["origin/feat", "origin/main"]

    # And back again.
    git(remote.bare, "update-ref", "-d", "refs/tesmo/heads/feat")
    git(remote.bare, "update-ref", "refs/tesmo/heads/feat/y", "refs/tesmo/heads/main")
    tesmo_cmd(b, remote, "fetch", status=0)
    assert tesmo_cmd(b, remote, "resolve", "origin/feat/y", status=0).stdout == \
        tesmo_cmd(b, remote, "resolve", "origin/main", status=0).stdout


def test_a_line_of_the_id_map_cut_short_is_passed_over(pair, remote):
    a, b = pair
    with open(a / ".tesmo" / "git" / "tesmo-ids", "ab") as handle:
        handle.write(b"0123abc")  # what a crash mid-write leaves
    commit(a, remote, cut(first=30), "after the crash")
    tesmo_cmd(a, remote, "push", status=0)
    tesmo_cmd(b, remote, "pull", status=0)
    lines = (a / ".tesmo" / "git" / "tesmo-ids").read_bytes().split(b"\n")
    # The new line starts afresh after the torn one.
    assert lines[-3:] == [b"0123abc", lines[-2], b""] and len(lines[-2].split()) == 2
    commit(b, remote, cut(first=20), "b again")
    tesmo_cmd(b, remote, "push", status=0)
    tesmo_cmd(a, remote, "pull", status=0)
    assert tesmo_cmd(a, remote, "resolve", "HEAD", status=0).stdout == \
        tesmo_cmd(b, remote, "resolve", "HEAD", status=0).stdout


def test_pull_merges_what_it_fetched_beside_a_local_branch_of_that_name(pair, remote):
    a, b = pair
    tesmo_cmd(b, remote, "branch", "origin/main", status=0)  # the old state
    fetched = commit(a, remote, cut(third=40), "a lengthens the outro")
    tesmo_cmd(a, remote, "push", status=0)
    tesmo_cmd(b, remote, "pull", status=0)
    assert tesmo_cmd(b, remote, "resolve", "main", status=0).stdout.strip() == fetched
    assert "invalid branch name" in one_error_line(tesmo_cmd(b, remote, "pull", "origin", "../x"))


def test_fetches_at_once_take_turns(pair, remote):
    import subprocess

    from cli_support import tesmo_command

    a, b = pair
    newer = commit(a, remote, cut(second=64), "a trims the interview")
    tesmo_cmd(a, remote, "push", status=0)
    runs = [subprocess.Popen(tesmo_command() + ["fetch"], cwd=str(b), env=remote.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(3)]
    for run in runs:
        out, err = run.communicate(timeout=60)
        assert run.returncode == 0, err
        assert "deleted" not in out
    assert tesmo_cmd(b, remote, "resolve", "origin/main", status=0).stdout.strip() == newer
