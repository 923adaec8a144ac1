"""What every build of the store keeps to: objects at compression level 6
with the fixed header, and no thread started by any call."""

import gzip
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

from otio_support import clip_timeline


def test_objects_are_level_six_with_the_fixed_header(repo, objects):
    timeline = clip_timeline(20000)
    commit_id = repo.commit(timeline, "big")
    timeline_id = repo.read_commit(commit_id)["timeline"]
    data = objects.path(timeline_id).read_bytes()
    assert data[:10] == bytes([0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF])
    text = gzip.decompress(data)
    assert objects.id_of_text(text) == timeline_id
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    zlib6 = packer.compress(text) + packer.flush()
    packer = zlib.compressobj(1, zlib.DEFLATED, -15)
    zlib1 = packer.compress(text) + packer.flush()
    assert len(data) - 18 <= len(zlib6) < len(zlib1)


CHILD = """
import json, sys, threading
sys.path.insert(0, {tests!r})
from otio_support import clip_timeline
import tesmo
repo = tesmo.Repo.init(sys.argv[1])
timeline = clip_timeline(15000)  # over a megabyte of text
first = repo.commit(timeline, "first")
timeline["name"] = "second"
repo.commit(timeline, "second")
repo.commit(timeline, "again")
repo.read_timeline(first)
tesmo.diff(repo.read_timeline(first), timeline)
repo.log()
if sys.argv[2] == "control":
    threading.Thread(target=lambda: None).start()
"""


@pytest.fixture
def strace():
    path = shutil.which("strace")
    if path is None:
        pytest.skip("strace is not installed")
    probe = subprocess.run([path, "-f", "-qq", "-e", "trace=none", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("strace cannot trace here: " + probe.stderr.decode(errors="replace").strip())
    return path


def thread_creations(strace, workdir, mode):
    log = workdir / f"strace-{mode}.log"
    child = CHILD.format(tests=str(Path(__file__).parent))
    subprocess.run([strace, "-f", "-qq", "-o", str(log), "-e", "trace=clone,clone3",
                    sys.executable, "-c", child, str(workdir / mode), mode], check=True)
    return [line for line in log.read_text().splitlines() if "clone" in line]


def test_no_call_starts_a_thread(strace, workdir):
    # The control run starts one thread itself, which shows the trace sees it.
    assert len(thread_creations(strace, workdir, "control")) == 1
    assert thread_creations(strace, workdir, "store") == []
