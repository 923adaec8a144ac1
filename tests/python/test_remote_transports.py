"""tesmo remote, clone, fetch, push and pull over real git transports: a
path and file://, git:// through git daemon, smart HTTP through git
http-backend, and ssh:// through GIT_SSH_COMMAND.

Every remote is a fresh bare repository; what lands there is read back with
plain git, and what two clones make of it is compared commit by commit."""

import hashlib
import json
import os
import random
import signal
import subprocess
import time

import pytest

import tesmo
from cli_support import one_error_line, write_json
from otio_support import clip, timeline, track
from remote_support import (TRANSPORTS, GitDaemon, HttpBackend, Remote, base_environment,
                            bare_repository, free_port, git, run_tesmo, start_tesmo)

MAIN = "refs/tesmo/heads/main"


def cut(intro=48, interview=120, outro_media="outro.mov", music=192):
    return timeline(
        track("V1", clip("intro", "intro.mov", duration=intro),
              clip("interview", "interview.mov", duration=interview),
              clip("outro", outro_media, duration=24)),
        track("A1", clip("music", "music.mov", duration=music), kind="Audio"))


def canonical(value):
    """The store's text of a value without floats."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def big_cut(clips, seed):
    """A long timeline whose text compresses poorly, for a large pack."""
    rng = random.Random(seed)
    return timeline(track("V1", *[
        clip(f"shot_{i}_{rng.getrandbits(128):032x}",
             f"file:///media/{rng.getrandbits(160):040x}.mov",
             start=rng.randrange(0, 9000), duration=rng.randrange(12, 200))
        for i in range(clips)]))


@pytest.fixture(params=TRANSPORTS)
def remote(request, tmp_path):
    served = Remote(request.param, tmp_path / "remote")
    yield served
    served.stop()


def over(*transports):
    """Runs a test over these transports only: each run costs seconds, and
    a scenario that turns on no difference between transports needs not
    repeat on all of them."""
    return pytest.mark.parametrize("remote", transports, indirect=True)


# All but the path, which file:// stands for.
NETWORKED = [t for t in TRANSPORTS if t != "path"]


# ----------------------------------------------------------------------------
# Helpers


def commit(work, document, message, env):
    write_json(work / "cut.otio", document)
    return run_tesmo("commit", "cut.otio", "-m", message, "--allow-empty", cwd=work, env=env,
                 status=0).stdout.strip()


def start(remote, work, document=None, *options):
    """A repository at work with one commit (unless document is False),
    origin pointing at the remote."""
    work.mkdir()
    repo = tesmo.Repo.init(str(work))
    if document is not False:
        repo.commit(document or cut(), "assembly")
    run_tesmo("remote", "add", "origin", remote.url, *options, cwd=work, env=remote.env, status=0)
    return work


def clone(remote, target, *options, url=None):
    result = run_tesmo("clone", url or remote.url, target, *options, cwd=target.parent,
                   env=remote.env, status=0)
    return result


def log_ids(work, env, ref="HEAD"):
    return [entry["id"] for entry in json.loads(
        run_tesmo("log", ref, "--json", cwd=work, env=env, status=0).stdout)]


def resolve(work, env, ref="HEAD"):
    return run_tesmo("resolve", ref, cwd=work, env=env, status=0).stdout.strip()


def shown_document(work, env, ref):
    return json.loads(run_tesmo("show", ref, cwd=work, env=env, status=0).stdout)


def trailer_ids(remote, ref=MAIN):
    """The tesmo ids the remote's git commits name along the first parents,
    newest first: what `tesmo log` lists."""
    return remote.git("log", "--first-parent", "--format=%(trailers:key=Tesmo-Commit,valueonly)",
                      ref).split()


def assert_fsck(remote):
    done = subprocess.run(["git", f"--git-dir={remote.bare}", "fsck", "--strict", "--no-dangling"],
                          capture_output=True, text=True, timeout=60, env=remote.env)
    assert done.returncode == 0, done.stdout + done.stderr


def pushed_refused(result, branch="main"):
    """A push refused as not a fast-forward: status 1, told to pull."""
    assert result.returncode == 1, (result.stdout, result.stderr)
    assert f"tesmo pull origin {branch}" in result.stderr
    assert "nothing was pushed" in result.stderr


# ----------------------------------------------------------------------------
# Two clones sharing one remote


def test_two_clones_push_and_pull_each_others_commits(remote, tmp_path):
    a = start(remote, tmp_path / "a")
    first = resolve(a, remote.env)
    pushed = run_tesmo("push", cwd=a, env=remote.env, status=0)
    assert "origin/main" in pushed.stdout and pushed.stderr == ""
    # The remote holds one git commit that names the tesmo commit, and the
    # timeline's text as the store holds it.
    assert list(remote.refs()) == [MAIN]
    assert trailer_ids(remote) == [first]
    assert remote.git("show", f"{MAIN}:timeline.json") == canonical(cut())

    b = tmp_path / "b"
    cloned = clone(remote, b)
    assert "on main" in cloned.stdout
    assert log_ids(b, remote.env) == [first]
    assert tesmo.Repo.discover(str(b)).current_branch() == "main"

    # Turn and turn about.
    second = commit(b, cut(intro=40), "tighter intro", remote.env)
    run_tesmo("push", cwd=b, env=remote.env, status=0)
    pulled = run_tesmo("pull", cwd=a, env=remote.env, status=0)
    assert "fast-forward" in pulled.stdout
    third = commit(a, cut(intro=40, outro_media="outro_v2.mov"), "new outro", remote.env)
    run_tesmo("push", "origin", "main", cwd=a, env=remote.env, status=0)
    run_tesmo("pull", "origin", cwd=b, env=remote.env, status=0)

    ids = log_ids(a, remote.env)
    assert ids == [third, second, first]
    assert log_ids(b, remote.env) == ids
    assert log_ids(b, remote.env, "origin/main") == ids
    assert resolve(a, remote.env, "origin/main") == third
    assert trailer_ids(remote) == ids
    # Each version reads back from git as the store's canonical text, and
    # hashes to the timeline id its record names.
    repo = tesmo.Repo.discover(str(b))
    for back, commit_id in enumerate(ids):
        text = remote.git("show", f"{MAIN}~{back}:timeline.json")
        record = json.loads(remote.git("show", f"{MAIN}~{back}:commit.json"))
        assert record == repo.read_commit(commit_id)
        assert "sha256:" + hashlib.sha256(text.encode()).hexdigest() == record["timeline"]
        assert text == canonical(shown_document(b, remote.env, commit_id))
    assert json.loads(remote.git("show", f"{MAIN}:timeline.json")) == \
        cut(intro=40, outro_media="outro_v2.mov")
    # One history, one set of git commits: both bridges agree with the remote.
    tip = remote.git("rev-parse", MAIN).strip()
    for work in (a, b):
        assert git(work / ".tesmo" / "git", "rev-parse", "refs/tesmo/remotes/origin/main",
                   env=remote.env).strip() == tip
    assert_fsck(remote)


@over("git", "http", "ssh")
def test_a_diverged_push_is_refused_until_pulled_and_merged(remote, tmp_path):
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    b = tmp_path / "b"
    clone(remote, b)
    base = resolve(b, remote.env)

    ours = commit(a, cut(intro=40), "tighter intro", remote.env)
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    theirs = commit(b, cut(outro_media="outro_v2.mov"), "new outro", remote.env)
    before = remote.refs()
    refused = run_tesmo("push", cwd=b, env=remote.env)
    pushed_refused(refused)
    assert remote.refs() == before
    assert trailer_ids(remote) == [ours, base]

    merged = run_tesmo("pull", cwd=b, env=remote.env, status=0)
    head = resolve(b, remote.env)
    assert head not in (ours, theirs) and head in merged.stdout
    assert tesmo.Repo.discover(str(b)).read_commit(head)["parents"] == [theirs, ours]
    both = cut(intro=40, outro_media="outro_v2.mov")
    assert shown_document(b, remote.env, "HEAD") == both

    run_tesmo("push", cwd=b, env=remote.env, status=0)
    assert trailer_ids(remote)[0] == head
    assert remote.git("show", f"{MAIN}:timeline.json") == canonical(both)
    # The merge travels with both parents.
    assert remote.git("log", "-1", "--format=%P", MAIN).split() == [
        git(b / ".tesmo" / "git", "rev-parse", f"{MAIN}^{n}", env=remote.env).strip()
        for n in (1, 2)]

    forward = run_tesmo("pull", cwd=a, env=remote.env, status=0)
    assert "fast-forward" in forward.stdout
    assert resolve(a, remote.env) == head
    assert log_ids(a, remote.env) == log_ids(b, remote.env)
    assert_fsck(remote)


@over("git", "http")
def test_force_with_lease_replaces_only_what_the_last_fetch_saw(remote, tmp_path):
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    b = tmp_path / "b"
    clone(remote, b)

    moved = commit(a, cut(intro=40), "tighter intro", remote.env)
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    mine = commit(b, cut(music=96), "shorter music", remote.env)
    before = remote.refs()

    # b's last fetch saw main before a moved it: the lease does not hold.
    stale = run_tesmo("push", "--force-with-lease", cwd=b, env=remote.env)
    assert stale.returncode == 1, (stale.stdout, stale.stderr)
    assert "moved since the last fetch" in stale.stderr
    assert remote.refs() == before and trailer_ids(remote)[0] == moved

    run_tesmo("fetch", cwd=b, env=remote.env, status=0)
    assert resolve(b, remote.env, "origin/main") == moved
    # A plain push still will not drop a's commit...
    pushed_refused(run_tesmo("push", cwd=b, env=remote.env))
    assert remote.refs() == before
    # ...but the lease now holds, and the remote branch is replaced.
    forced = run_tesmo("push", "--force-with-lease", cwd=b, env=remote.env, status=0)
    assert "forced" in forced.stdout
    assert trailer_ids(remote) == log_ids(b, remote.env)
    assert trailer_ids(remote)[0] == mine and moved not in trailer_ids(remote)

    # a sees the replacement on its next fetch.
    run_tesmo("fetch", cwd=a, env=remote.env, status=0)
    assert resolve(a, remote.env, "origin/main") == mine
    assert_fsck(remote)


@over("file", "ssh")
def test_a_branch_prefix_keeps_branches_as_git_branches(remote, tmp_path):
    a = start(remote, tmp_path / "a", None, "--branch-prefix", "tesmo/")
    listed = run_tesmo("remote", "-v", cwd=a, env=remote.env, status=0).stdout
    assert remote.url in listed and "refs/heads/tesmo/" in listed
    run_tesmo("branch", "review", cwd=a, env=remote.env, status=0)
    run_tesmo("push", "--all", cwd=a, env=remote.env, status=0)
    assert sorted(remote.refs()) == ["refs/heads/tesmo/main", "refs/heads/tesmo/review"]
    assert remote.git("show", "refs/heads/tesmo/main:timeline.json") == canonical(cut())

    b = tmp_path / "b"
    cloned = clone(remote, b, "--branch-prefix", "tesmo/")
    assert "on main" in cloned.stdout
    assert log_ids(b, remote.env) == log_ids(a, remote.env)
    assert resolve(b, remote.env, "origin/review") == resolve(a, remote.env, "review")
    assert [name for name, _ in tesmo.Repo.discover(str(b)).list_branches()] == ["main", "review"]

    # Without the prefix the same remote has no tesmo branches.
    c = tmp_path / "c"
    empty = clone(remote, c)
    assert "no tesmo branches" in empty.stderr
    assert tesmo.Repo.discover(str(c)).list_branches() == []

    # Pushes through the prefix keep landing there.
    later = commit(b, cut(intro=40), "tighter intro", remote.env)
    run_tesmo("push", cwd=b, env=remote.env, status=0)
    assert sorted(remote.refs()) == ["refs/heads/tesmo/main", "refs/heads/tesmo/review"]
    assert trailer_ids(remote, "refs/heads/tesmo/main")[0] == later


@over("git")
def test_remote_tracking_refs_and_the_remote_list(remote, tmp_path):
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    pushed = resolve(a, remote.env)
    later = commit(a, cut(intro=40), "tighter intro", remote.env)
    # What the last push saw is a ref like any other.
    assert resolve(a, remote.env, "origin/main") == pushed
    assert shown_document(a, remote.env, "origin/main") == cut()
    changed = run_tesmo("diff", "origin/main", "main", cwd=a, env=remote.env, status=1)
    assert "intro" in changed.stdout
    assert run_tesmo("merge-base", "origin/main", "main", cwd=a, env=remote.env,
                     status=0).stdout.strip() == pushed

    second = Remote("path", tmp_path / "second")
    run_tesmo("remote", "add", "backup", second.url, cwd=a, env=remote.env, status=0)
    assert run_tesmo("remote", cwd=a, env=remote.env, status=0).stdout == "backup\norigin\n"
    assert run_tesmo("remote", "-v", cwd=a, env=remote.env, status=0).stdout == \
        f"backup\t{second.url}\norigin\t{remote.url}\n"
    again = run_tesmo("remote", "add", "origin", second.url, cwd=a, env=remote.env)
    assert "already exists" in one_error_line(again)
    run_tesmo("push", "backup", cwd=a, env=remote.env, status=0)
    assert resolve(a, remote.env, "backup/main") == later
    assert trailer_ids(second) == [later, pushed] and trailer_ids(remote) == [pushed]

    # Without origin there is no choosing for the user: the only remote.
    run_tesmo("remote", "remove", "origin", cwd=a, env=remote.env, status=0)
    assert run_tesmo("remote", cwd=a, env=remote.env, status=0).stdout == "backup\n"
    gone = run_tesmo("resolve", "origin/main", cwd=a, env=remote.env)
    assert gone.returncode == 2 and "origin/main" in gone.stderr
    assert "no remote named" in one_error_line(run_tesmo("fetch", "origin", cwd=a,
                                                         env=remote.env))
    run_tesmo("fetch", cwd=a, env=remote.env, status=0)
    assert resolve(a, remote.env, "backup/main") == later


# ----------------------------------------------------------------------------
# Clones of remotes without a main


@over("path", "http")
def test_clone_of_an_empty_remote_then_the_first_push(remote, tmp_path):
    # With no directory named, the clone is named after the URL.
    a = tmp_path / "cut"
    cloned = run_tesmo("clone", remote.url, cwd=tmp_path, env=remote.env, status=0)
    assert cloned.stdout == ""
    assert cloned.stderr.startswith("tesmo: ") and "empty" in cloned.stderr
    assert run_tesmo("remote", "-v", cwd=a, env=remote.env, status=0).stdout.startswith("origin\t")
    assert tesmo.Repo.discover(str(a)).list_branches() == []

    first = commit(a, cut(), "assembly", remote.env)
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    assert trailer_ids(remote) == [first]
    b = tmp_path / "b"
    clone(remote, b)
    assert log_ids(b, remote.env) == [first]


@pytest.mark.parametrize("remote,branches", [("git", ["review"]), ("ssh", ["review", "grade"])],
                         indirect=["remote"])
def test_clone_of_a_remote_without_main(remote, tmp_path, branches):
    a = start(remote, tmp_path / "a")
    for name in branches:
        run_tesmo("branch", name, cwd=a, env=remote.env, status=0)
    run_tesmo("push", "origin", *branches, cwd=a, env=remote.env, status=0)
    assert sorted(remote.refs()) == sorted(f"refs/tesmo/heads/{n}" for n in branches)

    b = tmp_path / "b"
    cloned = clone(remote, b)
    repo = tesmo.Repo.discover(str(b))
    assert sorted(name for name, _ in repo.list_branches()) == sorted(branches)
    if len(branches) == 1:
        # The only branch is the one checked out.
        assert f"on {branches[0]}" in cloned.stdout
        assert repo.current_branch() == branches[0]
        assert log_ids(b, remote.env) == log_ids(a, remote.env)
    else:
        assert "tesmo switch" in cloned.stdout
        assert repo.current_branch() == "main"
        assert run_tesmo("log", cwd=b, env=remote.env, status=0).stdout == ""
        run_tesmo("switch", "grade", cwd=b, env=remote.env, status=0)
        assert log_ids(b, remote.env) == log_ids(a, remote.env, "grade")


# ----------------------------------------------------------------------------
# Two pushers at once


@over(*NETWORKED)
def test_of_two_racing_pushes_exactly_one_wins(remote, tmp_path):
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    b, c = tmp_path / "b", tmp_path / "c"
    clone(remote, b)
    clone(remote, c)
    # Edits to different clips: neither push is a fast-forward of the other.
    heads = {b: commit(b, cut(intro=40), "tighter intro", remote.env),
             c: commit(c, cut(outro_media="outro_v2.mov"), "new outro", remote.env)}
    pushes = {work: start_tesmo("push", cwd=work, env=remote.env) for work in (b, c)}
    results = {}
    for work, process in pushes.items():
        try:
            out, err = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        results[work] = (process.returncode, out, err)
    assert sorted(code for code, _, _ in results.values()) == [0, 1], results
    winner = next(work for work, (code, _, _) in results.items() if code == 0)
    loser = c if winner == b else b
    # The loser may have seen the winner's commit (not a fast-forward) or
    # not (the remote's ref moved under it): refused whole either way.
    assert "nothing was pushed" in results[loser][2]
    assert trailer_ids(remote)[0] == heads[winner]
    assert heads[loser] not in trailer_ids(remote)
    assert_fsck(remote)

    # The loser merges the winner's commit and gets through.
    run_tesmo("pull", cwd=loser, env=remote.env, status=0)
    merged = resolve(loser, remote.env)
    assert tesmo.Repo.discover(str(loser)).read_commit(merged)["parents"] == \
        [heads[loser], heads[winner]]
    run_tesmo("push", cwd=loser, env=remote.env, status=0)
    assert trailer_ids(remote)[0] == merged
    forward = run_tesmo("pull", cwd=winner, env=remote.env, status=0)
    assert resolve(winner, remote.env) == merged, forward.stdout
    assert log_ids(winner, remote.env) == log_ids(loser, remote.env)
    assert log_ids(winner, remote.env) == trailer_ids(remote)
    assert heads[winner] in remote.git("log", "--format=%B", MAIN)  # the second parent
    assert shown_document(winner, remote.env, "HEAD") == \
        cut(intro=40, outro_media="outro_v2.mov")


def overtaken_push(remote, tmp_path):
    """c's push reads the remote's refs, then b's push lands, then c's
    commands and pack arrive: c loses inside the remote, not by what it
    was shown. Returns (b, c, heads, c's push result, refs after b's push)."""
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    b, c = tmp_path / "b", tmp_path / "c"
    clone(remote, b)
    clone(remote, c)
    heads = {b: commit(b, cut(intro=40), "tighter intro", remote.env),
             c: commit(c, cut(outro_media="outro_v2.mov"), "new outro", remote.env)}
    mark, gate = tmp_path / "held", tmp_path / "go"
    process = start_tesmo("push", cwd=c, env=dict(remote.env, TEST_SSH_GATE=str(gate),
                                                   TEST_SSH_MARK=str(mark)))
    try:
        deadline = time.monotonic() + 60
        while not mark.exists() and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert mark.exists(), process.communicate(timeout=10)
        run_tesmo("push", cwd=b, env=remote.env, status=0)
        after = remote.refs()
        gate.write_text("")
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return b, c, heads, subprocess.CompletedProcess([], process.returncode, out, err), after


@over("ssh")
def test_a_push_overtaken_inside_the_remote_is_refused_whole(remote, tmp_path):
    b, c, heads, refused, after = overtaken_push(remote, tmp_path)
    assert refused.returncode == 1, (refused.stdout, refused.stderr)
    assert "nothing was pushed" in refused.stderr
    assert remote.refs() == after and trailer_ids(remote)[0] == heads[b]
    assert_fsck(remote)
    run_tesmo("pull", cwd=c, env=remote.env, status=0)
    run_tesmo("push", cwd=c, env=remote.env, status=0)
    assert trailer_ids(remote)[0] == resolve(c, remote.env)


@over("ssh")
def test_a_push_overtaken_inside_the_remote_is_told_to_pull(remote, tmp_path):
    _, _, _, refused, _ = overtaken_push(remote, tmp_path)
    assert refused.returncode == 1
    assert "tesmo pull origin main" in refused.stderr, refused.stderr


# ----------------------------------------------------------------------------
# A push cut off halfway


CUT_AFTER = 32 * 1024


@pytest.mark.parametrize("how", ["connection-lost", "push-killed"])
@over("ssh")
def test_an_interrupted_push_leaves_the_remote_as_it_was(remote, tmp_path, how):
    a = start(remote, tmp_path / "a")
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    before = remote.refs()
    big = commit(a, big_cut(3000, seed=7), "the long cut", remote.env)

    mark = tmp_path / "cut-off"
    cut_env = dict(remote.env, TEST_SSH_CUT_AFTER=str(CUT_AFTER), TEST_SSH_MARK=str(mark),
                   TEST_SSH_MODE="kill" if how == "connection-lost" else "hang")
    if how == "connection-lost":
        # The receiving end dies with the pack half sent.
        failed = run_tesmo("push", cwd=a, env=cut_env)
        assert failed.returncode == 2, (failed.stdout, failed.stderr)
        assert failed.stdout == "" and len(failed.stderr.splitlines()) == 1
        assert failed.stderr.startswith("tesmo: ")
    else:
        # The whole push (tesmo, git, the connection and the receiving end)
        # is killed while the pack is on its way.
        process = start_tesmo("push", cwd=a, env=cut_env)
        try:
            deadline = time.monotonic() + 60
            while not mark.exists() and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.02)
            assert mark.exists(), process.communicate(timeout=10)
            assert process.poll() is None  # still sending
        finally:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate(timeout=30)
        assert process.returncode == -signal.SIGKILL
    assert int(mark.read_text()) == CUT_AFTER

    assert remote.refs() == before
    assert_fsck(remote)
    assert big not in trailer_ids(remote)
    # The repository that pushed is whole, and so is a fresh clone.
    assert log_ids(a, remote.env)[0] == big
    b = tmp_path / "b"
    clone(remote, b)
    assert log_ids(b, remote.env) == log_ids(a, remote.env)[1:]

    # Sent again in full, the push lands.
    run_tesmo("push", cwd=a, env=remote.env, status=0)
    assert trailer_ids(remote)[0] == big
    assert_fsck(remote)
    # The cut fell inside the pack, not in the talk before it.
    packed = dict(line.split(": ") for line in remote.git("count-objects", "-v").splitlines())
    assert (int(packed["size-pack"]) + int(packed["size"])) * 1024 > 2 * CUT_AFTER
    run_tesmo("pull", cwd=b, env=remote.env, status=0)
    assert resolve(b, remote.env) == big
    assert shown_document(b, remote.env, "HEAD") == shown_document(a, remote.env, "HEAD")


# ----------------------------------------------------------------------------
# Remotes that cannot be used: one line, exit status 2


@pytest.fixture
def servers():
    started = []
    yield started
    for server in started:
        server.stop()


def failing_url(case, tmp_path, servers):
    """The URL of a remote that fails in the way case names, and the
    environment to reach it in."""
    env = base_environment(tmp_path)
    root = tmp_path / "served"
    bare_repository(root / "cut.git")
    if case == "closed git port":
        return f"git://127.0.0.1:{free_port()}/cut.git", env
    if case == "closed http port":
        return "http://127.0.0.1:1/x", env
    if case == "empty directory":
        (tmp_path / "empty").mkdir()
        return str(tmp_path / "empty"), env
    if case == "missing daemon path":
        servers.append(GitDaemon(root))
        return servers[-1].url("missing.git"), env
    if case == "missing http path":
        servers.append(HttpBackend(root, env))
        return servers[-1].url("missing.git"), env
    if case == "missing ssh path":
        remote = Remote("ssh", tmp_path / "ssh")
        return remote.url_of("missing.git"), remote.env
    assert case == "http 401"
    servers.append(HttpBackend(root, env, deny=True))
    return servers[-1].url("cut.git"), env


@pytest.mark.parametrize("case,words", [
    ("closed git port", "cannot reach"),
    ("closed http port", "cannot reach"),
    ("empty directory", "is not a git repository"),
    ("missing daemon path", "is not a git repository"),
    ("missing http path", "is not a git repository"),
    ("missing ssh path", "is not a git repository"),
    ("http 401", "authentication failed"),
])
def test_a_remote_that_cannot_be_used_is_one_line_of_error(tmp_path, servers, case, words):
    url, env = failing_url(case, tmp_path, servers)
    target = tmp_path / "clone"
    failed = run_tesmo("clone", url, target, cwd=tmp_path, env=env)
    message = one_error_line(failed)
    assert words in message and url in message, message
    assert not target.exists()

    work = tmp_path / "work"
    work.mkdir()
    run_tesmo("init", cwd=work, env=env, status=0)
    commit(work, cut(), "assembly", env)
    run_tesmo("remote", "add", "origin", url, cwd=work, env=env, status=0)
    before = sorted(p.name for p in (work / ".tesmo").rglob("*") if "git" not in p.parts)
    for command in ("fetch", "push"):
        message = one_error_line(run_tesmo(command, cwd=work, env=env))
        assert words in message and "origin" in message, (command, message)
    # Nothing about the remote was recorded.
    assert sorted(p.name for p in (work / ".tesmo").rglob("*") if "git" not in p.parts) == before
    assert not (work / ".tesmo" / "refs" / "remotes").exists()
