"""Remotes through real git: what a fetch or a clone does with a remote that
someone changed behind tesmo's back, and the git form tesmo writes.

Every remote here is a bare git repository reached by its path. A history
is pushed with `tesmo push`; a hostile party then rewrites the remote with
git plumbing alone (hash-object, mktree, commit-tree, update-ref). The
repository that fetches must refuse with one line naming the commit and
keep its objects and refs byte for byte as they were.

The git form is checked from the other side: one history pushed anywhere,
through a clone or from a store without its bridge, gives the same git ids,
each commit holding the record and the timeline as the store has them.
"""

import calendar
import hashlib
import json
import os
import shutil
import subprocess
import time

import pytest

import tesmo
import tesmo_cli._engine as engine
from cli_support import frames_clip, one_error_line, run, snapshot, write_json
from conftest import ObjectStore
from otio_support import timeline, track

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")

TRAILER = "Tesmo-Commit: "
PREFIX = "refs/tesmo/heads/"
AUTHOR = ("Ada Editor", "ada@example.invalid")


# ----------------------------------------------------------------------------
# git, as the hostile party and the checks run it


def git_env(home, extra=None):
    # The user's own settings stay out: HOME is the test's directory.
    env = dict(os.environ, HOME=str(home), GIT_CONFIG_NOSYSTEM="1", LC_ALL="C")
    for key in ("GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY"):
        env.pop(key, None)
    env.update(extra or {})
    return env


def git(git_dir, *args, input=None, env=None, check=True):
    """git --git-dir=GIT_DIR ARGS; its stdout as bytes."""
    home = os.path.dirname(str(git_dir))
    result = subprocess.run(["git", f"--git-dir={git_dir}", *args], input=input,
                            capture_output=True, timeout=60, env=git_env(home, env))
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def out(git_dir, *args, input=None):
    return git(git_dir, *args, input=input).stdout.decode().strip()


def canonical(value):
    """The canonical text of a value without floats (keys sorted, no
    whitespace, non-ASCII as is)."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def sha256_id(text):
    return "sha256:" + hashlib.sha256(text).hexdigest()


def epoch(timestamp):
    return calendar.timegm(time.strptime(timestamp, "%Y-%m-%dT%H:%M:%SZ"))


class Hostile:
    """Writes objects and refs straight into a bare remote."""

    def __init__(self, git_dir):
        self.dir = git_dir

    def blob(self, data):
        return out(self.dir, "hash-object", "-w", "--stdin", input=data)

    def tree(self, entries):
        """entries: (mode, name, object id) for blobs."""
        listing = "".join(f"{mode} blob {blob}\t{name}\n" for mode, name, blob in entries)
        return out(self.dir, "mktree", input=listing.encode())

    def commit(self, tree, parents, message, author, committer=None):
        """author and committer: (name, email, seconds since 1970)."""
        committer = committer or author
        env = {"GIT_AUTHOR_NAME": author[0], "GIT_AUTHOR_EMAIL": author[1],
               "GIT_AUTHOR_DATE": f"@{author[2]} +0000",
               "GIT_COMMITTER_NAME": committer[0], "GIT_COMMITTER_EMAIL": committer[1],
               "GIT_COMMITTER_DATE": f"@{committer[2]} +0000"}
        args = ["commit-tree", tree]
        for parent in parents:
            args += ["-p", parent]
        return git(self.dir, *args, "-F", "-", input=message, env=env).stdout.decode().strip()

    def point(self, branch, git_id):
        git(self.dir, "update-ref", PREFIX + branch, git_id)


class Exported:
    """One tesmo commit as the remote holds it, read with git alone."""

    def __init__(self, git_dir, git_id):
        self.git_id = git_id
        raw = git(git_dir, "cat-file", "commit", git_id).stdout
        head, _, self.message = raw.partition(b"\n\n")
        self.parents = [line.split()[1].decode() for line in head.split(b"\n")
                        if line.startswith(b"parent ")]
        last = self.message.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode()
        assert last.startswith(TRAILER), raw
        self.tesmo_id = last[len(TRAILER):]
        self.record_text = git(git_dir, "cat-file", "blob", f"{git_id}:commit.json").stdout
        self.record = json.loads(self.record_text)
        self.timeline_text = git(git_dir, "cat-file", "blob", f"{git_id}:timeline.json").stdout

    def who(self, record=None):
        record = record or self.record
        return (record["author"]["name"], record["author"]["email"], epoch(record["timestamp"]))


def message_for(record, tesmo_id):
    return f"{record['message']}\n\n{TRAILER}{tesmo_id}\n".encode()


def forge(hostile, good, record=None, record_text=None, timeline_text=None, extra=(),
          modes=("100644", "100644"), parents=None, message=None, author=None, committer=None,
          trailer=None):
    """A git commit built from `good` with the changes given; returns its
    git id and the tesmo id its trailer names."""
    if record_text is None:
        record_text = good.record_text if record is None else canonical(record)
    record = good.record if record is None else record
    tesmo_id = trailer or sha256_id(record_text)
    timeline_text = good.timeline_text if timeline_text is None else timeline_text
    entries = [(modes[0], "commit.json", hostile.blob(record_text)),
               (modes[1], "timeline.json", hostile.blob(timeline_text))]
    entries += [("100644", name, hostile.blob(data)) for name, data in extra]
    who = good.who() if author is None else author
    git_id = hostile.commit(hostile.tree(entries), good.parents if parents is None else parents,
                            message_for(record, tesmo_id) if message is None else message,
                            who, committer)
    return git_id, tesmo_id


# ----------------------------------------------------------------------------
# Repositories


def cut(frames):
    return timeline(track("V1", frames_clip("intro", frames), frames_clip("interview", 96)),
                    track("A1", frames_clip("music", 240), kind="Audio"))


def commit(work, frames, message, *extra):
    write_json(work / "cut.otio", cut(frames))
    return run("commit", "cut.otio", "-m", message, "--author", AUTHOR[0], "--email", AUTHOR[1],
               *extra, cwd=work, check_status=0).stdout.strip()


def init(path):
    path.mkdir()
    run("init", cwd=path, check_status=0)
    return path


def bare(path):
    subprocess.run(["git", "init", "-q", "--bare", str(path)], check=True, capture_output=True,
                   env=git_env(path.parent))
    return path


def refs(git_dir):
    return out(git_dir, "for-each-ref", "--format=%(objectname) %(objecttype) %(refname)")


def tip(git_dir, branch="main"):
    return out(git_dir, "rev-parse", "--verify", PREFIX + branch)


def local_state(work):
    """What a refused fetch must leave as it was: the objects, the refs and
    HEAD, every file with its bytes."""
    tesmo_dir = work / ".tesmo"
    return {"objects": snapshot(tesmo_dir / "objects"), "refs": snapshot(tesmo_dir / "refs"),
            "HEAD": (tesmo_dir / "HEAD").read_bytes()}


def log(work, ref):
    return run("log", ref, cwd=work, check_status=0).stdout


def short(tesmo_id):
    return tesmo_id.split(":", 1)[1][:12]


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """The producer's main (c1, c2) pushed and cloned by the consumer, then
    c3 pushed on top: the remote's main is c3, the consumer's origin/main
    is still c2. Built once; each test works on a copy."""
    base = tmp_path_factory.mktemp("scene")
    remote = bare(base / "remote.git")
    producer = init(base / "producer")
    ids = [commit(producer, 48, "assembly"), commit(producer, 40, "tighter intro")]
    run("remote", "add", "origin", remote, cwd=producer, check_status=0)
    run("push", cwd=producer, check_status=0)
    run("clone", remote, "consumer", cwd=base, check_status=0)
    second = tip(remote)
    first = Exported(remote, second).parents[0]
    ids.append(commit(producer, 32, "shorter still"))
    run("push", cwd=producer, check_status=0)
    good = Exported(remote, tip(remote))
    assert good.tesmo_id == ids[2] and good.parents == [second]
    # The plumbing rebuilds the very commit tesmo pushed: what a case
    # changes is all that differs.
    assert forge(Hostile(remote), good) == (good.git_id, good.tesmo_id)
    return {"base": base, "ids": ids, "git": [first, second, good.git_id]}


@pytest.fixture
def scene(pristine, tmp_path):
    """A copy of the pristine remote and consumer, the consumer's origin
    set to the copy (remotes live in the bridge's git configuration)."""
    remote, consumer = tmp_path / "remote.git", tmp_path / "consumer"
    shutil.copytree(pristine["base"] / "remote.git", remote, symlinks=True)
    shutil.copytree(pristine["base"] / "consumer", consumer, symlinks=True)
    git(consumer / ".tesmo" / "git", "config", "remote.origin.url", str(remote))
    good = Exported(remote, tip(remote))
    assert good.git_id == pristine["git"][2]
    return {"tmp": tmp_path, "remote": remote, "consumer": consumer, "ids": pristine["ids"],
            "git": pristine["git"], "good": good, "hostile": Hostile(remote)}


# ----------------------------------------------------------------------------
# Tampering: each case makes one commit from the good c3 and returns it with
# the name the refusal must give (the tesmo id its trailer names, or the
# git id of a commit that names none).


def changed_timeline_byte(s):
    good = s["good"]
    text = good.timeline_text.replace(b'"interview"', b'"interviex"', 1)
    assert text != good.timeline_text
    git_id, tesmo_id = forge(s["hostile"], good, timeline_text=text)
    return git_id, tesmo_id


def changed_message(s):
    good = s["good"]
    message = message_for(dict(good.record, message="shorter still, approved"), good.tesmo_id)
    return forge(s["hostile"], good, message=message)


def record_names_another_timeline(s):
    good = s["good"]
    other = Exported(s["remote"], s["git"][1])
    record = dict(good.record, timeline=other.record["timeline"])
    return forge(s["hostile"], good, record=record)


def pretty_timeline(s):
    good = s["good"]
    text = json.dumps(json.loads(good.timeline_text), indent=2, sort_keys=True).encode()
    assert text != good.timeline_text and json.loads(text) == json.loads(good.timeline_text)
    record = dict(good.record, timeline=sha256_id(text))
    return forge(s["hostile"], good, record=record, timeline_text=text)


def extra_file(s):
    return forge(s["hostile"], s["good"], extra=[("notes.txt", b"ride along\n")])


def executable_timeline(s):
    return forge(s["hostile"], s["good"], modes=("100644", "100755"))


def executable_record(s):
    return forge(s["hostile"], s["good"], modes=("100755", "100644"))


def other_author(s):
    good = s["good"]
    _, email, when = good.who()
    return forge(s["hostile"], good, author=("Mallory", email, when), committer=good.who())


def other_author_date(s):
    good = s["good"]
    name, email, when = good.who()
    return forge(s["hostile"], good, author=(name, email, when + 1), committer=good.who())


def other_committer(s):
    good = s["good"]
    name, _, when = good.who()
    return forge(s["hostile"], good, committer=(name, "mallory@example.invalid", when))


def plain_git_commit(s):
    good = s["good"]
    git_id, _ = forge(s["hostile"], good, message=b"shorter still\n")
    return git_id, git_id


def trailer_of_another_commit(s):
    # c3's record and timeline under c2's id.
    return forge(s["hostile"], s["good"], trailer=s["ids"][1])


def git_parent_skips_one(s):
    return forge(s["hostile"], s["good"], parents=[s["git"][0]])


def git_parent_missing(s):
    return forge(s["hostile"], s["good"], parents=[])


def git_parent_added(s):
    return forge(s["hostile"], s["good"], parents=[s["git"][1], s["git"][0]])


def git_parents_swapped(s):
    # A merge record of c2 and c1, its git commit with the two the other
    # way round.
    good = s["good"]
    record = dict(good.record, parents=[s["ids"][1], s["ids"][0]])
    return forge(s["hostile"], good, record=record, parents=[s["git"][0], s["git"][1]])


def wrong_schema(s):
    good = s["good"]
    return forge(s["hostile"], good, record=dict(good.record, schema="tesmo.commit.2"))


def malformed_timestamp(s):
    good = s["good"]
    stamp = good.record["timestamp"].replace("T", " ")
    return forge(s["hostile"], good, record=dict(good.record, timestamp=stamp))


def timeline_not_json(s):
    good = s["good"]
    text = b"not json {"
    return forge(s["hostile"], good, record=dict(good.record, timeline=sha256_id(text)),
                 timeline_text=text)


def record_not_json(s):
    good = s["good"]
    text = good.record_text[:-1]
    git_id, tesmo_id = forge(s["hostile"], good, record_text=text, record=good.record,
                             trailer=sha256_id(text))
    return git_id, tesmo_id


def record_with_extra_member(s):
    good = s["good"]
    return forge(s["hostile"], good, record=dict(good.record, signed_off="mallory"))


def record_as_array(s):
    good = s["good"]
    r = good.record
    fields = [r["schema"], r["timeline"], r["parents"], [r["author"]["name"], r["author"]["email"]],
              r["timestamp"], r["message"]]
    return forge(s["hostile"], good, record_text=canonical(fields), record=r)


TAMPERED = [
    pytest.param(changed_timeline_byte, id="changed-byte-in-timeline"),
    pytest.param(changed_message, id="message-changed-trailer-kept"),
    pytest.param(record_names_another_timeline, id="record-names-another-timeline"),
    pytest.param(pretty_timeline, id="pretty-printed-timeline"),
    pytest.param(extra_file, id="extra-file-in-tree"),
    pytest.param(executable_timeline, id="timeline-mode-100755"),
    pytest.param(executable_record, id="record-mode-100755"),
    pytest.param(other_author, id="author-differs"),
    pytest.param(other_author_date, id="author-date-differs"),
    pytest.param(other_committer, id="committer-differs"),
    pytest.param(plain_git_commit, id="no-trailer"),
    pytest.param(trailer_of_another_commit, id="trailer-names-another-commit"),
    pytest.param(git_parent_skips_one, id="git-parent-is-grandparent"),
    pytest.param(git_parent_missing, id="git-parent-missing"),
    pytest.param(git_parent_added, id="git-parent-added"),
    pytest.param(git_parents_swapped, id="git-parents-swapped"),
    pytest.param(wrong_schema, id="wrong-schema"),
    pytest.param(malformed_timestamp, id="malformed-timestamp"),
    pytest.param(timeline_not_json, id="timeline-not-json"),
    pytest.param(record_not_json, id="record-not-json"),
    pytest.param(record_with_extra_member, id="record-with-extra-member"),
    pytest.param(record_as_array, id="record-as-array"),
]


@pytest.mark.parametrize("tamper", TAMPERED)
def test_a_tampered_commit_is_refused_and_nothing_changes(scene, tamper):
    consumer, remote = scene["consumer"], scene["remote"]
    forged, named = tamper(scene)
    assert forged != scene["good"].git_id
    scene["hostile"].point("main", forged)
    before, before_log = local_state(consumer), log(consumer, "origin/main")
    before_bridge = refs(consumer / ".tesmo" / "git")
    assert before_log.splitlines()[0].startswith(short(scene["ids"][1]))

    message = one_error_line(run("fetch", cwd=consumer))
    assert named in message, message

    after = local_state(consumer)
    assert sorted(after["objects"]) == sorted(before["objects"])  # no new file
    assert after == before
    assert log(consumer, "origin/main") == before_log
    # The bridge's refs are as they were too (nothing left incoming, the
    # remote's branch still where the last good fetch saw it), and nothing
    # was left half staged beside them.
    assert refs(consumer / ".tesmo" / "git") == before_bridge
    assert not [p.name for p in (consumer / ".tesmo" / "git").iterdir()
                if p.name.startswith("incoming")]

    # A clone of the tampered remote fails the same way and leaves nothing.
    message = one_error_line(run("clone", remote, "fresh", cwd=scene["tmp"]))
    assert named in message, message
    assert not (scene["tmp"] / "fresh").exists()

    # Once the remote is back on the good commit, both work.
    scene["hostile"].point("main", scene["good"].git_id)
    run("fetch", cwd=consumer, check_status=0)
    assert log(consumer, "origin/main").splitlines()[0].startswith(short(scene["ids"][2]))
    assert len(log(consumer, "origin/main").splitlines()) == 3
    run("clone", remote, "fresh", cwd=scene["tmp"], check_status=0)
    assert log(scene["tmp"] / "fresh", "main") == log(consumer, "origin/main")


def hand_made_merge(s):
    good = s["good"]
    record = dict(good.record, parents=[s["ids"][1], s["ids"][0]], message="merged by hand")
    return forge(s["hostile"], good, record=record, parents=[s["git"][1], s["git"][0]])


def hand_made_rewording(s):
    good = s["good"]
    return forge(s["hostile"], good, record=dict(good.record, message="shorter still, reworded"))


@pytest.mark.parametrize("build", [
    pytest.param(hand_made_merge, id="merge"),
    pytest.param(hand_made_rewording, id="reworded-record"),
])
def test_a_commit_made_with_plumbing_in_tesmos_own_form_is_accepted(scene, build):
    """Whoever writes it, a commit exactly as tesmo writes it for a good
    record comes in: the refusals above are for what was changed."""
    consumer = scene["consumer"]
    forged, tesmo_id = build(scene)
    scene["hostile"].point("main", forged)
    run("fetch", cwd=consumer, check_status=0)
    assert run("resolve", "origin/main", cwd=consumer, check_status=0).stdout.strip() == tesmo_id
    record = json.loads(engine.object_text(str(consumer / ".tesmo"), tesmo_id))
    assert record == json.loads(Exported(scene["remote"], forged).record_text)


def test_a_tampered_branch_keeps_out_the_good_one_too(scene):
    """Every fetched commit is verified before anything is stored: a good
    main (c3) beside a side branch that adds a tampered commit on top of c3
    brings in neither, though c3 passes before its child is refused."""
    consumer, hostile, good = scene["consumer"], scene["hostile"], scene["good"]
    record = dict(good.record, message="side note", parents=[good.tesmo_id])
    name, email, when = good.who(record)
    child, child_id = forge(hostile, good, record=record, parents=[good.git_id],
                            author=(name, email, when + 60), committer=(name, email, when))
    hostile.point("side", child)
    before, before_log = local_state(consumer), log(consumer, "origin/main")
    message = one_error_line(run("fetch", cwd=consumer))
    assert child_id in message and good.tesmo_id not in message
    assert local_state(consumer) == before
    assert log(consumer, "origin/main") == before_log
    assert run("log", "origin/side", cwd=consumer).returncode != 0
    for object_id in (good.tesmo_id, good.record["timeline"], child_id):
        body = object_id.split(":", 1)[1]
        assert not (consumer / ".tesmo" / "objects" / body[:2] / body[2:]).exists()
    # Without the side branch, main comes in.
    git(scene["remote"], "update-ref", "-d", PREFIX + "side")
    run("fetch", cwd=consumer, check_status=0)
    assert log(consumer, "origin/main").splitlines()[0].startswith(short(good.tesmo_id))


def test_a_tampered_commit_under_a_good_looking_one_is_refused(scene):
    """A commit tesmo would write, on top of a tampered parent: the
    parent is named, and nothing of either is stored."""
    consumer, hostile, good = scene["consumer"], scene["hostile"], scene["good"]
    forged, named = changed_message(scene)
    record = {"author": good.record["author"], "message": "on top", "parents": [good.tesmo_id],
              "schema": "tesmo.commit.1", "timeline": good.record["timeline"],
              "timestamp": good.record["timestamp"]}
    child, child_id = forge(hostile, good, record=record, parents=[forged])
    hostile.point("main", child)
    before = local_state(consumer)
    message = one_error_line(run("fetch", cwd=consumer))
    assert named in message and child_id not in message
    assert local_state(consumer) == before


def test_a_commit_git_itself_refuses_on_fetch_is_named(scene):
    """A commit object git's own checks refuse as it arrives (an author
    line with a '>' in the e-mail): the fetch fails with nothing changed,
    and the one line names the object, as git's messages do."""
    consumer, good = scene["consumer"], scene["good"]
    raw = git(scene["remote"], "cat-file", "commit", good.git_id).stdout
    name, email, _ = good.who()
    line = f"author {name} <{email}>".encode()
    assert line in raw
    bad = raw.replace(line, f"author {name} <{email[:3]}>{email[3:]}>".encode(), 1)
    forged = out(scene["remote"], "hash-object", "-t", "commit", "-w", "--literally", "--stdin",
                 input=bad)
    scene["hostile"].point("main", forged)
    before = local_state(consumer)
    message = one_error_line(run("fetch", cwd=consumer))
    assert local_state(consumer) == before
    assert forged in message, message


def annotated_tag(s):
    listing = (f"object {s['good'].git_id}\ntype commit\ntag v1\n"
               "tagger Mallory <mallory@example.invalid> 0 +0000\n\nsigned, honest\n")
    return out(s["remote"], "mktag", input=listing.encode())


def bare_tree(s):
    return out(s["remote"], "rev-parse", s["good"].git_id + "^{tree}")


def bare_blob(s):
    return out(s["remote"], "rev-parse", s["good"].git_id + ":commit.json")


@pytest.mark.parametrize("target", [
    pytest.param(annotated_tag, id="annotated-tag-of-the-good-commit"),
    pytest.param(bare_tree, id="tree"),
    pytest.param(bare_blob, id="blob"),
])
def test_a_branch_at_something_other_than_a_commit_is_refused_and_nothing_changes(scene, target):
    consumer = scene["consumer"]
    wrong = target(scene)
    git(scene["remote"], "update-ref", PREFIX + "main", wrong)
    before, before_log = local_state(consumer), log(consumer, "origin/main")
    message = one_error_line(run("fetch", cwd=consumer))
    assert wrong in message, message
    after = local_state(consumer)
    assert sorted(after["objects"]) == sorted(before["objects"])
    assert after == before
    assert log(consumer, "origin/main") == before_log
    message = one_error_line(run("clone", scene["remote"], "fresh", cwd=scene["tmp"]))
    assert wrong in message, message
    assert not (scene["tmp"] / "fresh").exists()


# ----------------------------------------------------------------------------
# The git form: the same history gives the same git ids everywhere


@pytest.fixture
def history(tmp_path):
    """main: c1, c2, then a merge of side (s1) as c3; side: c1, s1."""
    work = init(tmp_path / "work")
    commit(work, 48, "assembly")
    run("branch", "side", cwd=work, check_status=0)
    commit(work, 40, "tighter intro")
    run("switch", "side", cwd=work, check_status=0)
    commit(work, 56, "longer intro\n\nfor the festival cut")
    run("switch", "main", cwd=work, check_status=0)
    commit(work, 44, "both cuts", "--merge", "side")
    return work


def push_all(work, name, remote):
    run("remote", "add", name, remote, cwd=work, check_status=0)
    run("push", name, "main", "side", cwd=work, check_status=0)


def test_one_history_pushed_to_two_remotes_and_through_a_clone_gives_one_set_of_git_ids(
        history, tmp_path):
    first, second, third = (bare(tmp_path / f"{name}.git") for name in ("first", "second", "third"))
    push_all(history, "first", first)
    push_all(history, "second", second)
    run("clone", first, "copy", cwd=tmp_path, check_status=0)
    push_all(tmp_path / "copy", "third", third)
    listed = refs(first)
    assert len(listed.splitlines()) == 2 and f"{PREFIX}main" in listed and f"{PREFIX}side" in listed
    assert refs(second) == listed
    assert refs(third) == listed
    for git_dir in (first, second, third):
        assert out(git_dir, "rev-list", "--count", "--all") == "4"


def test_a_store_exported_afresh_gives_the_same_git_ids(history, tmp_path):
    """The store without its git bridge (another machine with the same
    objects) writes every commit again, to the same git ids."""
    first, again = bare(tmp_path / "first.git"), bare(tmp_path / "again.git")
    push_all(history, "first", first)
    copy = tmp_path / "copy" / ".tesmo"
    copy.mkdir(parents=True)
    for part in ("objects", "refs"):
        shutil.copytree(history / ".tesmo" / part, copy / part)
    shutil.copyfile(history / ".tesmo" / "HEAD", copy / "HEAD")
    assert not (copy / "git").exists()
    push_all(tmp_path / "copy", "again", again)
    assert refs(again) == refs(first)


def test_each_git_commit_is_the_record_in_git_form(history, tmp_path):
    remote = bare(tmp_path / "remote.git")
    push_all(history, "origin", remote)
    root = str(history / ".tesmo")
    seen = {}
    listed = out(remote, "rev-list", "--topo-order", "--reverse", PREFIX + "main", PREFIX + "side")
    for git_id in listed.split():
        exported = Exported(remote, git_id)
        record, tesmo_id = exported.record, exported.tesmo_id
        # The message: the record's, a blank line, the trailer.
        assert exported.message == f"{record['message']}\n\n{TRAILER}{tesmo_id}\n".encode()
        assert exported.message.endswith(f"{TRAILER}{tesmo_id}\n".encode())
        # commit.json is the stored record, named by the trailer.
        assert exported.record_text == engine.object_text(root, tesmo_id)
        assert sha256_id(exported.record_text) == tesmo_id
        # timeline.json is the stored timeline, byte for byte.
        shown = git(remote, "show", f"{git_id}:timeline.json").stdout
        assert shown == engine.object_text(root, record["timeline"])
        assert sha256_id(shown) == record["timeline"]
        # Exactly those two files, as plain files.
        tree = out(remote, "ls-tree", git_id).splitlines()
        assert [line.split()[0] + " " + line.split("\t")[1] for line in tree] == \
            ["100644 commit.json", "100644 timeline.json"]
        # Author and committer: the record's author at the record's time.
        name, email, when = exported.who()
        assert (name, email) == AUTHOR
        for field in ("%an <%ae> %at %ad", "%cn <%ce> %ct %cd"):
            shown_ident = out(remote, "log", "-1", "--date=raw", f"--format={field}", git_id)
            assert shown_ident == f"{name} <{email}> {when} {when} +0000"
        # Git parents are the record's parents, in order.
        assert [seen[p] for p in exported.parents] == record["parents"]
        seen[git_id] = tesmo_id
    assert len(seen) == 4 and len(set(seen.values())) == 4
    for branch in ("main", "side"):
        resolved = run("resolve", branch, cwd=history, check_status=0).stdout.strip()
        assert seen[tip(remote, branch)] == resolved
    merge = Exported(remote, tip(remote))
    assert len(merge.parents) == 2 and merge.parents[1] == tip(remote, "side")


def test_the_remote_passes_a_strict_fsck(history, tmp_path):
    remote = bare(tmp_path / "remote.git")
    push_all(history, "origin", remote)
    checked = git(remote, "fsck", "--strict", "--no-dangling", check=False)
    assert checked.returncode == 0, checked.stderr
    assert b"warning" not in checked.stderr and b"error" not in checked.stderr, checked.stderr
    assert int(out(remote, "rev-list", "--count", "--all")) == 4


def commit_objects(git_dir):
    listed = out(git_dir, "cat-file", "--batch-all-objects", "--batch-check=%(objecttype)")
    return listed.split().count("commit")


def test_an_incremental_push_writes_one_new_commit(tmp_path):
    work = init(tmp_path / "work")
    remote = bare(tmp_path / "remote.git")
    for frames in range(40, 45):
        commit(work, frames, f"cut at {frames}")
    run("remote", "add", "origin", remote, cwd=work, check_status=0)
    run("push", cwd=work, check_status=0)
    assert out(remote, "rev-list", "--count", PREFIX + "main") == "5"
    assert commit_objects(remote) == 5
    before = tip(remote)
    newest = commit(work, 50, "cut at 50")
    run("push", cwd=work, check_status=0)
    assert out(remote, "rev-list", "--count", PREFIX + "main") == "6"
    assert out(remote, "rev-list", "--count", f"{before}..{PREFIX}main") == "1"
    assert commit_objects(remote) == 6
    pushed = Exported(remote, tip(remote))
    assert pushed.tesmo_id == newest and pushed.parents == [before]


# Records tesmo never writes today but may hold (old clocks, hand-made
# authors, messages of any text): their git form is still one that a strict
# git accepts, and a round trip through a remote keeps every byte.
ODD_RECORDS = [
    {"author": {"name": "Ada <ops>\tLovelace", "email": " ada@example.invalid "},
     "timestamp": "1969-07-20T20:17:40Z", "message": "  \r\n\r\nfirst\r\nline two  \r\n\n"},
    {"author": {"name": "", "email": ""}, "timestamp": "2016-12-31T23:59:60Z", "message": "\u0000"},
    {"author": {"name": "Zo\u00eb \u00c5ngstr\u00f6m", "email": "zoe@example.invalid"},
     "timestamp": "9999-12-31T23:59:59Z",
     "message": "Tesmo-Commit: sha256:" + "0" * 64},
    {"author": {"name": "  ", "email": "<>"}, "timestamp": "0000-01-01T00:00:00Z", "message": ""},
]


def test_unusual_records_travel_whole_and_pass_a_strict_fsck(tmp_path):
    work = init(tmp_path / "work")
    commit(work, 48, "assembly")
    root = work / ".tesmo"
    start = run("resolve", "main", cwd=work, check_status=0).stdout.strip()
    timeline_id = json.loads(engine.object_text(str(root), start))["timeline"]
    store = ObjectStore(root)
    parent = start
    for fields in ODD_RECORDS:
        record = dict(fields, schema="tesmo.commit.1", timeline=timeline_id, parents=[parent])
        parent = store.put(record)
    (root / "refs" / "heads" / "main").write_text(parent + "\n")
    history = tesmo.Repo.open(str(work)).log("main")
    assert len(history) == 5

    first, second = bare(tmp_path / "first.git"), bare(tmp_path / "second.git")
    run("remote", "add", "origin", first, cwd=work, check_status=0)
    run("push", cwd=work, check_status=0)
    checked = git(first, "fsck", "--strict", "--no-dangling", check=False)
    assert checked.returncode == 0, checked.stderr
    assert b"warning" not in checked.stderr and b"error" not in checked.stderr, checked.stderr

    run("clone", first, "copy", cwd=tmp_path, check_status=0)
    copy = tmp_path / "copy"
    assert run("log", "main", cwd=copy, check_status=0).stdout == \
        run("log", "main", cwd=work, check_status=0).stdout
    for tesmo_id, _ in history:
        assert engine.object_text(str(copy / ".tesmo"), tesmo_id) == \
            engine.object_text(str(root), tesmo_id)
    run("remote", "add", "second", second, cwd=copy, check_status=0)
    run("push", "second", "main", cwd=copy, check_status=0)
    assert refs(second) == refs(first)
    tip_commit = Exported(first, tip(first))
    assert tip_commit.tesmo_id == parent
    assert tip_commit.message.endswith(f"\n\n{TRAILER}{parent}\n".encode())
