"""Repositories from strangers: a `.tesmo` whose files are special, huge,
linked out of the repository or unreadable. Every call fails fast with a
one-line TesmoError naming the path, writes nothing outside `.tesmo`, and a
writer never goes on without the repository lock."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import pytest

import tesmo
from conftest import ObjectStore

TIMELINE = {"OTIO_SCHEMA": "Timeline.1", "name": "cut",
            "tracks": {"OTIO_SCHEMA": "Stack.1", "children": []}}


def error_of(call):
    with pytest.raises(tesmo.TesmoError) as excinfo:
        call()
    (message,) = excinfo.value.args
    assert "\n" not in message
    return message


@pytest.fixture
def first(repo):
    return repo.commit(TIMELINE, "first")


@pytest.fixture
def tree(workdir):
    """Every path below the work directory, for checking that nothing changed."""
    def snapshot():
        return sorted((str(p.relative_to(workdir)), p.is_symlink() or p.stat().st_size)
                      for p in workdir.rglob("*") if not p.is_dir() or p.is_symlink())
    return snapshot


SPECIAL = {
    "fifo": lambda path: os.mkfifo(path),
    "dev-zero": lambda path: os.symlink("/dev/zero", path),
    "directory": lambda path: os.mkdir(path),
}


@pytest.mark.parametrize("kind", SPECIAL)
@pytest.mark.parametrize("where", ["HEAD", "branch", "object"])
def test_special_files_are_refused_at_once(repo, first, kind, where):
    root = repo.root
    path = {"HEAD": root / "HEAD", "branch": root / "refs" / "heads" / "main",
            "object": ObjectStore(root).path(first)}[where]
    saved = path.read_bytes()
    path.unlink()
    SPECIAL[kind](path)
    started = time.monotonic()
    if where == "object":
        expected = ("Is a directory (os error 21)" if kind == "directory"
                    else f"opening {path}")
        assert error_of(lambda: repo.read_commit(first)) == expected
        assert error_of(lambda: repo.log()) == expected
    else:
        assert error_of(lambda: repo.resolve("HEAD")) == f"reading {path}"
        assert error_of(lambda: repo.commit(TIMELINE, "again")) == f"reading {path}"
    assert time.monotonic() - started < 2
    shutil.rmtree(path) if kind == "directory" else path.unlink()
    path.write_bytes(saved)
    assert repo.log()[0][0] == first


@pytest.mark.parametrize("where", ["HEAD", "branch"])
def test_a_huge_ref_file_is_malformed_and_not_read(repo, first, where):
    path = repo.root / ("HEAD" if where == "HEAD" else "refs/heads/main")
    with open(path, "wb") as f:
        f.truncate(1 << 30)  # a gigabyte of zeros, sparse
    started = time.monotonic()
    shown = '"' + "\\0" * 40 + '"... (over 4096 bytes)'
    expected = (f"HEAD has unexpected contents: {shown}" if where == "HEAD"
                else f"branch main has invalid contents: {shown}")
    assert error_of(lambda: repo.resolve("HEAD")) == expected
    assert error_of(lambda: repo.commit(TIMELINE, "m")) == expected
    assert time.monotonic() - started < 1


@pytest.mark.parametrize("linked", ["refs/heads", "refs", "objects"])
def test_nothing_is_written_through_a_linked_directory(repo, first, workdir, tmp_path_factory,
                                                       linked):
    outside = tmp_path_factory.mktemp("outside")
    target = outside / "moved"
    shutil.move(str(repo.root / linked), target)
    os.symlink(target, repo.root / linked)
    if linked != "objects":
        doomed = target / ("doomed" if linked == "refs/heads" else "heads/doomed")
        doomed.write_text(first + "\n")
    before = sorted(p.relative_to(outside) for p in outside.rglob("*"))
    # Reading through the link works as it always has.
    assert repo.resolve("main") == first
    message = f"not following the symbolic link {repo.root / linked}"
    assert error_of(lambda: repo.commit(dict(TIMELINE, name="new"), "m")) == message
    if linked != "objects":
        assert error_of(lambda: repo.create_branch("side", first)) == message
        assert repo.resolve("doomed") == first
        assert error_of(lambda: repo.delete_branch("doomed")) == message
    assert sorted(p.relative_to(outside) for p in outside.rglob("*")) == before


def test_a_crafted_head_writes_nothing_outside(repo, first, workdir):
    escape = tempfile.mkdtemp()
    try:
        target = os.path.join(escape, "x", "escaped", "file")
        (repo.root / "HEAD").write_text("ref: refs/heads/" + "../" * 12 + target.lstrip("/") + "\n")
        message = error_of(lambda: repo.commit(TIMELINE, "m"))
        assert message.startswith("HEAD has unexpected contents: ")
        assert os.listdir(escape) == []
    finally:
        shutil.rmtree(escape)


# A child that becomes an unprivileged user (when run as root, which may
# open any directory) and commits into a repository whose directory the
# test made writable and searchable but not readable, so that it cannot be
# opened for the lock.
UNLOCKABLE = r"""
import os, sys
import tesmo
workdir = sys.argv[1]
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
repo = tesmo.Repo.open(workdir)
outcomes = []
for i in range(5):
    try:
        repo.commit({"n": i, "pid": os.getpid()}, "m")
        outcomes.append("committed")
    except tesmo.TesmoError as e:
        outcomes.append(str(e))
print("\n".join(outcomes))
"""


def test_no_commit_without_the_lock():
    # Under /tmp, with every directory open to the unprivileged user.
    workdir = tempfile.mkdtemp()
    try:
        repo = tesmo.Repo.init(workdir)
        first = repo.commit(TIMELINE, "first")
        os.chmod(workdir, 0o777)
        if os.geteuid() == 0:
            for top, dirs, files in os.walk(workdir):
                for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                    os.lchown(name, 65534, 65534)
        os.chmod(repo.root, 0o311)
        children = [subprocess.Popen([sys.executable, "-c", UNLOCKABLE, workdir],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    for _ in range(4)]
        refusal = f"cannot lock the repository {repo.root}: Permission denied (os error 13)"
        for child in children:
            out, err = child.communicate(timeout=60)
            assert child.returncode == 0, err
            assert out.splitlines() == [refusal] * 5
        os.chmod(repo.root, 0o755)
        # Nothing moved: the branch is where it was, and history has one commit.
        assert [commit_id for commit_id, _ in repo.log()] == [first]
    finally:
        os.chmod(os.path.join(workdir, ".tesmo"), 0o755)
        shutil.rmtree(workdir)


def test_a_bomb_stops_at_the_limit(repo, first):
    """An object of about a megabyte that inflates to more than 1 GiB is
    refused once 1 GiB has come out, in a process whose address space could
    not hold the whole."""
    chunk = bytes(64 << 20)
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
    # After a full flush the deflater starts afresh, so the block repeats.
    block = deflater.compress(chunk) + deflater.flush(zlib.Z_FULL_FLUSH)
    count = 17  # 1088 MiB
    crc = 0
    for _ in range(count):
        crc = zlib.crc32(chunk, crc)
    bomb = (b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff" + block * count + deflater.flush()
            + struct.pack("<II", crc, (count * len(chunk)) & 0xFFFFFFFF))
    assert len(bomb) < 2 << 20
    timeline_id = repo.read_commit(first)["timeline"]
    path = ObjectStore(repo.root).path(timeline_id)
    path.write_bytes(bomb)
    script = (
        "import resource, sys, tesmo\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2500 << 20, 2500 << 20))\n"
        "try:\n"
        "    tesmo.Repo.open(sys.argv[1]).read_timeline('HEAD')\n"
        "except tesmo.TesmoError as e:\n"
        "    print(e)\n")
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", script, str(repo.root.parent)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (f"object {timeline_id} inflates past {1 << 30} bytes, "
                           "the most an object may hold\n")
    assert time.monotonic() - started < 10
