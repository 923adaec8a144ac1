"""Waiting for the repository lock while another process holds it.

A holder process takes the lock on the .tesmo directory and is stopped with
SIGSTOP, as a process stuck on a slow disk would be. A writer must then
give up after a bounded wait with a clear TesmoError, stay interruptible by
Ctrl-C, let its program's other threads run meanwhile, and change nothing
in the repository on the way out.

The core's tests see the wait give up at a short limit; here one writer
waits out the real 30 s, started with the session (conftest.py) so that
the rest of the suite runs meanwhile.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tesmo

from lock_support import first_commit, hold, release, snapshot

@pytest.fixture
def held(repo):
    """The repository, its lock held by a stopped process; yields the holder."""
    holder = hold(repo)
    yield holder
    release(holder)


@pytest.fixture
def repo(workdir):
    return first_commit(workdir)


@pytest.fixture
def full_wait(request):
    """The writer that conftest started with the session, when this test was
    collected: it has waited out the whole limit while the suite ran."""
    started = getattr(request.config, "tesmo_full_wait", None)
    if started is None:
        pytest.skip("the full wait starts only in a session that collects this test")
    return started


CHILD = """
import sys, threading, time
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
ticks = 0
def count():
    global ticks
    while True:
        ticks += 1
        time.sleep(0.01)
threading.Thread(target=count, daemon=True).start()
print("waiting", flush=True)
started = time.monotonic()
try:
    {write}
except KeyboardInterrupt:
    print("interrupted", round(time.monotonic() - started, 2), ticks, flush=True)
"""


@pytest.mark.parametrize("write", [
    'repo.commit({"OTIO_SCHEMA": "Timeline.1", "name": "second"}, "second")',
    'repo.create_branch("other")',
    'repo.switch_branch("main")',
    'repo.delete_branch("gone")',
], ids=["commit", "create_branch", "switch_branch", "delete_branch"])
def test_ctrl_c_stops_the_wait_promptly(repo, held, write):
    before = snapshot(repo)
    child = subprocess.Popen([sys.executable, "-c", CHILD.replace("{write}", write),
                              str(repo.root.parent)], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "waiting\n"
    time.sleep(1.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=10)
    answered = time.monotonic() - sent
    word, waited, ticks = out.split()
    assert word == "interrupted"
    # Prompt, long before the bounded wait would end; and the program's other
    # thread kept running while this one waited.
    assert answered < 2 and 1 <= float(waited) < 5
    assert int(ticks) > 20
    assert child.returncode == 0
    assert snapshot(repo) == before


def test_the_write_goes_on_once_the_holder_lets_go(repo, held):
    os.kill(held.pid, signal.SIGCONT)
    releaser = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, signal, sys, time
        time.sleep(1.5)
        os.kill(int(sys.argv[1]), signal.SIGTERM)
    """), str(held.pid)])
    started = time.monotonic()
    commit_id = repo.commit({"OTIO_SCHEMA": "Timeline.1", "name": "second"}, "second")
    assert 1 < time.monotonic() - started < 10
    assert repo.resolve("main") == commit_id
    releaser.wait(timeout=10)


DAEMON = """
import sys, threading, time
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
threading.Thread(target=lambda: repo.commit({"a": 1}, "m"), daemon=True).start()
time.sleep(0.5)
# Many objects to free make the interpreter's shutdown outlast a pause of the
# waiting thread, which then finds the interpreter gone when it wakes.
keep = [[i] for i in range(3 * 10**6)]
print("exiting", flush=True)
"""


def test_a_daemon_thread_waiting_for_the_lock_lets_the_program_exit(repo, held):
    before = snapshot(repo)
    result = subprocess.run([sys.executable, "-c", DAEMON, str(repo.root.parent)],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "exiting\n", "")
    assert snapshot(repo) == before


def test_a_write_gives_up_after_a_bounded_wait(full_wait):
    repo, writer, before = full_wait
    out, _ = writer.communicate(timeout=60)
    assert writer.returncode == 0
    waited, error_type, message = json.loads(out)
    assert 29 < waited < 40
    assert error_type == "TesmoError"
    assert message == (f"another process holds the lock of {repo.root} and kept it "
                       "for 30 s; nothing was changed")
    assert snapshot(repo) == before
