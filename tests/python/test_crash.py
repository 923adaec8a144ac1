"""Processes killed with SIGKILL in the middle of commits and branch changes.

A child process commits timelines of very different sizes in a loop, and now
and then creates, switches or deletes a branch; the parent kills it after a
random delay, so kills land during conversion, object writes and ref updates.
After every kill HEAD and every branch must still read; at the end every
commit reachable from a branch must read back with a timeline the child could
have written, every history must end at the root, a new commit must succeed,
and every file at an object path must be a complete object whose content
hashes to its name. Only temporary files (names starting with ".") may be left
over.

TESMO_CRASH_KILLS sets the number of kills (default 20), TESMO_CRASH_SEED the
seed of the random delays.
"""

import gzip
import hashlib
import os
import random
import re
import signal
import subprocess
import sys
import time

import tesmo

KILLS = int(os.environ.get("TESMO_CRASH_KILLS", "20"))
SEED = int(os.environ.get("TESMO_CRASH_SEED", "20240611"))
BRANCHES = ["main", "b0", "b1", "b2"]
# Elements per timeline: from a few bytes to several megabytes of JSON, so
# that a kill can land in any step of a commit.
SIZES = [0, 3, 200, 5000, 60000, 250000]

# The child's timelines are a function of (child, n), so the parent can tell
# whether a stored timeline is one the child wrote.
TIMELINE_SOURCE = '''
SIZES = %r

def timeline(child, n):
    size = SIZES[(child * 7 + n) %% len(SIZES)]
    return {"OTIO_SCHEMA": "Timeline.1", "name": f"c{child}-{n}", "child": child, "n": n,
            "items": [f"{child}.{n}.{i}" for i in range(size)],
            "nested": {"k%%d" %% (i %% 50): [i, float(i) / 3, None, True] for i in range(size // 10)}}
''' % (SIZES,)

CHILD = TIMELINE_SOURCE + '''
import random, sys
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
child = int(sys.argv[2])
rng = random.Random(child)
branches = %r
print("ready", flush=True)
n = 0
while True:
    roll = rng.random()
    name = rng.choice(branches)
    try:
        if roll < 0.1:
            repo.create_branch(name)
        elif roll < 0.2:
            repo.switch_branch(name)
        elif roll < 0.27:
            repo.delete_branch(name)
        else:
            repo.commit(timeline(child, n), f"c{child}-{n}")
            n += 1
    except tesmo.TesmoError as exc:
        # Expected refusals only: an existing, missing or current branch.
        text = exc.args[0]
        if not (text.endswith("already exists") or text.endswith("does not exist")
                or text.startswith("cannot delete the current branch")):
            raise
''' % (BRANCHES,)

namespace = {}
exec(TIMELINE_SOURCE, namespace)
timeline = namespace["timeline"]

OBJECT_NAME = re.compile(r"[0-9a-f]{62}")
FAN_OUT = re.compile(r"[0-9a-f]{2}")


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tesmo.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def run_and_kill(workdir, child, delay):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(workdir), str(child)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    try:
        assert proc.stdout.readline() == b"ready\n", proc.stderr.read().decode()
        time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    # The child must still have been running: it never stops on its own.
    assert proc.returncode == -signal.SIGKILL, err.decode()


def check_refs(repo):
    """HEAD and every branch read, and each branch names a readable commit."""
    branches = dict(repo.list_branches())
    assert set(branches) <= set(BRANCHES)
    # HEAD only ever names a branch that exists: the current one cannot be deleted.
    assert repo.resolve("HEAD") == branches[repo.current_branch()]
    for name, commit_id in branches.items():
        assert repo.resolve(name) == commit_id
        assert repo.read_commit(commit_id)["schema"] == "tesmo.commit.1"


def check_history(repo, root_id):
    """Walks every branch back to the root; returns the commits seen."""
    seen = {}
    for name, tip in repo.list_branches():
        entries = repo.log(name)
        assert entries[0][0] == tip and entries[-1][0] == root_id
        assert entries[-1][1]["parents"] == []
        for (commit_id, record), (parent_id, _) in zip(entries, entries[1:]):
            assert record["parents"] == [parent_id]
        for commit_id, record in entries:
            if commit_id in seen:
                continue
            assert repo.read_commit(commit_id) == record
            stored = repo.read_timeline(commit_id)
            if commit_id != root_id:
                assert stored == timeline(stored["child"], stored["n"])
                assert record["message"] == stored["name"]
            seen[commit_id] = record
    return seen


def check_files(root):
    """Every file at an object path is a complete object named by its hash,
    and nothing but temporary files lies beside HEAD, objects and branches;
    returns (objects, temporary files by directory)."""
    objects, temporary = 0, {"objects": 0, "refs": 0, "HEAD": 0}
    for path in root.iterdir():
        if path.name.startswith("."):
            temporary["HEAD"] += 1
        else:
            assert path.name in ("HEAD", "objects", "refs"), path
    for fan_out in (root / "objects").iterdir():
        assert fan_out.is_dir() and FAN_OUT.fullmatch(fan_out.name), fan_out
        for path in fan_out.iterdir():
            if path.name.startswith("."):
                temporary["objects"] += 1
                continue
            assert OBJECT_NAME.fullmatch(path.name), path
            text = gzip.decompress(path.read_bytes())
            assert hashlib.sha256(text).hexdigest() == fan_out.name + path.name, path
            objects += 1
    for path in (root / "refs/heads").iterdir():
        if path.name.startswith("."):
            temporary["refs"] += 1
        else:
            assert path.name in BRANCHES and path.is_file(), path
    return objects, temporary


def test_killed_writers_leave_a_usable_repository(repo, workdir):
    root_id = repo.commit({"root": True}, "root")
    rng = random.Random(SEED)
    for child in range(KILLS):
        # Mostly short delays, where the small commits and ref updates are;
        # some long enough to reach the middle of the large timelines.
        delay = rng.choice([rng.uniform(0, 0.02), rng.uniform(0, 0.15)])
        run_and_kill(workdir, child, delay)
        check_refs(repo)

    commits = check_history(repo, root_id)
    objects, temporary = check_files(repo.root)
    after = repo.commit({"after": True}, "after the kills")
    assert repo.log()[1][0] in commits
    assert repo.read_timeline(after) == {"after": True}
    print(f"\ncrash test: {KILLS} kills survived; {len(commits)} commits reachable, "
          f"{objects} objects; temporary files left: {temporary} (seed {SEED})")
