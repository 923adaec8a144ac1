"""A process that holds a repository's lock, and a writer that waits out
the lock's whole limit against it."""

import os
import signal
import subprocess
import sys

import tesmo

HOLDER = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("locked", flush=True)
sys.stdin.read()  # holds the lock until its input closes
"""

WRITER = """
import json, sys, time
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
started = time.monotonic()
try:
    repo.commit({"OTIO_SCHEMA": "Timeline.1", "name": "second"}, "second")
except tesmo.TesmoError as error:
    print(json.dumps([time.monotonic() - started, type(error).__name__, str(error)]), flush=True)
"""


def hold(repo):
    """A process that holds the repository's lock, stopped."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(repo.root)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    os.kill(holder.pid, signal.SIGSTOP)
    return holder


def release(holder):
    os.kill(holder.pid, signal.SIGCONT)
    holder.stdin.close()
    holder.wait(timeout=10)


def snapshot(repo):
    """Every ref and the branch listing, which a refused write must leave alone."""
    refs = {p.relative_to(repo.root): p.read_text() for p in repo.root.rglob("*")
            if p.is_file() and "objects" not in p.parts}
    return refs, repo.list_branches()


def first_commit(workdir):
    repo = tesmo.Repo.init(workdir)
    repo.commit({"OTIO_SCHEMA": "Timeline.1", "name": "first"}, "first")
    return repo


class FullWait:
    """A writer committing against a stopped holder, which gives up only
    after the lock's whole limit: started at once, read when wanted."""

    def __init__(self, workdir):
        self.repo = first_commit(workdir)
        self.holder = hold(self.repo)
        self.before = snapshot(self.repo)
        self.writer = subprocess.Popen([sys.executable, "-c", WRITER, str(workdir)],
                                       stdout=subprocess.PIPE, text=True)

    def stop(self):
        if self.writer.poll() is None:
            self.writer.kill()
        self.writer.communicate()
        release(self.holder)
