"""Running out of resources in the middle of an operation.

A child process lowers one limit right before one repository call: a small
RLIMIT_FSIZE stands for a full disk (SIGXFSZ is ignored, so a write past the
limit fails with EFBIG), a low RLIMIT_NOFILE leaves only a few descriptors
free. The call must raise TesmoError with the message the operation defines,
leave no half-written file at a real name and no temporary file behind, and
the repository must stay fully usable in the parent.
"""

import gzip
import hashlib
import json
import os
import random
import subprocess
import sys

import pytest

import tesmo

FILE_TOO_LARGE = "File too large (os error 27)"
TOO_MANY_FILES = "Too many open files (os error 24)"
# A writer that cannot open the repository for its lock names it and stops.
NO_LOCK = "cannot lock the repository {root}: " + TOO_MANY_FILES

# Run in the child and in the parent, so both build the same timelines.
TIMELINES = '''
import random
def timelines():
    rng = random.Random(7)
    # Random hex text compresses to about half: some 200 KB of object file.
    big = {"OTIO_SCHEMA": "Timeline.1", "name": "big",
           "items": ["%064x" % rng.getrandbits(256) for _ in range(6000)]}
    return {"big": big, "small": {"OTIO_SCHEMA": "Timeline.1", "name": "small"},
            "stored": {"OTIO_SCHEMA": "Timeline.1", "name": "stored"}}
'''

CHILD = TIMELINES + '''
import json, os, resource, signal, sys
import tesmo

repo = tesmo.Repo.open(sys.argv[1])
limit, amount, call = json.loads(sys.argv[2])
timeline = timelines()
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
held = []
if limit == "fsize":
    resource.setrlimit(resource.RLIMIT_FSIZE, (amount, resource.RLIM_INFINITY))
else:
    # Use up every descriptor under a low limit, then free `amount` of them.
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    try:
        while True:
            held.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        pass
    for fd in held[len(held) - amount:]:
        os.close(fd)
try:
    result = eval(call)
except tesmo.TesmoError as exc:
    print(json.dumps({"error": exc.args}))
else:
    print(json.dumps({"result": result}))
'''

namespace = {}
exec(TIMELINES, namespace)
TIMELINE = namespace["timelines"]()


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def object_id(value):
    return "sha256:" + hashlib.sha256(canonical(value)).hexdigest()


def object_file(root, oid):
    return root / "objects" / oid[7:9] / oid[9:]


def run_child(workdir, limit, amount, call):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tesmo.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run([sys.executable, "-c", CHILD, str(workdir),
                           json.dumps([limit, amount, call])],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def snapshot(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}


@pytest.fixture
def history(repo):
    """main with two commits, a branch side at the first; HEAD on main. The
    "stored" timeline is already an object, so committing it writes only the
    commit record and the ref."""
    first = repo.commit(TIMELINE["stored"], "first")
    repo.create_branch("side")
    second = repo.commit({"OTIO_SCHEMA": "Timeline.1", "name": "second"}, "second")
    return {"main": second, "side": first}


def check_usable(repo, history):
    """Everything reads, and each operation works once the limit is gone."""
    assert dict(repo.list_branches()) == history
    assert repo.current_branch() == "main"
    for name, tip in history.items():
        for commit_id, record in repo.log(name):
            assert repo.read_commit(commit_id) == record
            repo.read_timeline(commit_id)
        assert repo.log(name)[0][0] == tip
    new = repo.commit(TIMELINE["big"], "after the fault")
    assert repo.read_timeline(new) == TIMELINE["big"]
    assert repo.log()[1][0] == history["main"]
    repo.create_branch("extra")
    repo.switch_branch("extra")
    assert repo.current_branch() == "extra"


ROOT = "{root}"
HEAD = "reading {root}/HEAD"

FAULTS = [
    # A full disk: the first write past the limit fails with EFBIG.
    ("fsize", 0, 'repo.commit(timeline["big"], "m")', FILE_TOO_LARGE, []),
    ("fsize", 4096, 'repo.commit(timeline["big"], "m")', FILE_TOO_LARGE, []),
    ("fsize", 70000, 'repo.commit(timeline["big"], "m")', FILE_TOO_LARGE, []),
    # The timeline is stored already; the commit record does not fit.
    ("fsize", 64, 'repo.commit(timeline["stored"], "m")', FILE_TOO_LARGE, []),
    # Ref and HEAD files: a branch file is 72 bytes, HEAD 16 + name + 1.
    ("fsize", 8, 'repo.create_branch("new")', FILE_TOO_LARGE, []),
    ("fsize", 71, 'repo.create_branch("nested/new", at="side")', FILE_TOO_LARGE, []),
    ("fsize", 8, 'repo.switch_branch("side")', FILE_TOO_LARGE, []),
    ("fsize", 20, 'repo.switch_branch("side")', FILE_TOO_LARGE, []),
    # No descriptor left: the timeline object cannot even be created.
    ("nofile", 0, 'repo.commit(timeline["small"], "m")', "creating {small_path}", []),
    # One left: the timeline is stored, then HEAD cannot be read beside the lock.
    ("nofile", 1, 'repo.commit(timeline["small"], "m")', HEAD, ["small"]),
    ("nofile", 1, 'repo.commit(timeline["stored"], "m")', HEAD, []),
    # None left at all: the repository lock itself cannot be taken, and the
    # operation stops rather than going on unlocked.
    ("nofile", 0, 'repo.create_branch("new")', NO_LOCK, []),
    ("nofile", 0, 'repo.switch_branch("side")', NO_LOCK, []),
    ("nofile", 1, 'repo.create_branch("new")', HEAD, []),
    ("nofile", 1, 'repo.switch_branch("side")', TOO_MANY_FILES, []),
    ("nofile", 0, 'repo.delete_branch("side")', NO_LOCK, []),
    ("nofile", 0, "repo.list_branches()", TOO_MANY_FILES, []),
    ("nofile", 0, 'repo.read_timeline("HEAD")', HEAD, []),
    ("nofile", 0, 'repo.read_timeline("{side}")', "opening {side_path}", []),
    ("nofile", 0, 'repo.log("HEAD")', HEAD, []),
]


@pytest.mark.parametrize(
    "limit, amount, call, message, new_objects", FAULTS,
    ids=["fsize-0-commit", "fsize-4k-commit", "fsize-70k-commit", "fsize-64-commit-record",
         "fsize-8-create-branch", "fsize-71-create-nested-branch", "fsize-8-switch",
         "fsize-20-switch", "nofile-0-commit", "nofile-1-commit", "nofile-1-commit-stored",
         "nofile-0-create-branch", "nofile-0-switch", "nofile-1-create-branch",
         "nofile-1-switch",
         "nofile-0-delete-branch", "nofile-0-list-branches", "nofile-0-read-timeline",
         "nofile-0-read-object", "nofile-0-log-head"],
)
def test_fault(repo, workdir, history, limit, amount, call, message, new_objects):
    root = repo.root
    before = snapshot(root)
    outcome = run_child(workdir, limit, amount, call.replace("{side}", history["side"]))
    expected = message.format(
        root=root, small_path=object_file(root, object_id(TIMELINE["small"])),
        side_path=object_file(root, history["side"]))
    assert outcome == {"error": [expected]}

    # Nothing changed, nothing half-written, no temporary file left behind;
    # only complete objects may have been added.
    after = snapshot(root)
    assert {k: v for k, v in after.items() if k in before} == before
    added = sorted(set(after) - set(before))
    assert added == sorted(str(object_file(root, object_id(TIMELINE[name])).relative_to(root))
                           for name in new_objects)
    for name in new_objects:
        text = gzip.decompress(after[added[0]])
        assert text == canonical(TIMELINE[name])
    check_usable(repo, history)


@pytest.mark.parametrize(
    "limit, amount, call",
    [("fsize", 72, 'repo.create_branch("new")'), ("fsize", 21, 'repo.switch_branch("side")'),
     ("nofile", 2, 'repo.commit(timeline["small"], "m")')],
    ids=["fsize-72-create-branch", "fsize-21-switch", "nofile-2-commit"],
)
def test_just_enough(repo, workdir, history, limit, amount, call):
    """The limits above are tight: one byte or descriptor more and the call
    succeeds, so the faults were met where the table says."""
    outcome = run_child(workdir, limit, amount, call)
    assert "result" in outcome
    assert [p for p in repo.root.rglob(".*")] == []


def test_log_without_start_reads_an_unreadable_head_as_no_history(repo, workdir, history):
    assert run_child(workdir, "nofile", 0, "repo.log()") == {"result": []}


DAMAGED_LENGTH = """
import os, resource, struct, sys
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
tid = repo.read_commit("HEAD")["timeline"][len("sha256:"):]
path = os.path.join(sys.argv[1], ".tesmo", "objects", tid[:2], tid[2:])
body = bytes([0xFF]) * 3_000_000  # block type 3, which no stream may use
# The stored length claims the largest expansion deflate allows.
with open(path, "wb") as f:
    f.write(bytes([0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF]) + body + struct.pack("<II", 0, 1032 * len(body)))
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
try:
    repo.read_timeline("HEAD")
except tesmo.TesmoError as exc:
    print(exc.args[0])
"""


def test_a_damaged_length_is_not_allocated(repo, workdir):
    # A length of 3 GB in a damaged 3 MB object must not be allocated up
    # front: within 1 GB of address space the damage is still reported.
    repo.commit({"a": 1}, "m")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(tesmo.__file__)
    done = subprocess.run([sys.executable, "-c", DAMAGED_LENGTH, str(workdir)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "corrupt deflate stream\n"
