#!/usr/bin/env python3
"""Memory growth of the tesmo module under thousands of calls.

Each iteration commits, reads timelines and commits back, walks a log,
resolves refs, compares timelines (tesmo.diff and Repo.diff_refs, with every
Change turned into a dict, and the comparison engine of tesmo_cli on
documents and on stored timelines) and runs the error paths: values that do not
convert, refs that do not resolve, missing branches and objects, bad
arguments. Iterations run in rounds, each on a new repository so that history
stays short; after a warm-up round the script measures, at the end of every
round, the resident set size (from /proc/self/statm), the interpreter's
allocated memory blocks and the number of objects the garbage collector
tracks. It prints the figures after the warm-up and at the end, and the growth
per 1,000 iterations, and exits with status 1 when a growth is beyond its
limit. The limits are generous: a reference or buffer leaked on any path of
an iteration exceeds them many times over.

  python scripts/leak_check.py            # about 20,000 iterations
  python scripts/leak_check.py --quick    # a short run
"""

import argparse
import collections.abc
import ctypes
import gc
import os
import shutil
import statistics
import sys
import tempfile

import tesmo
import tesmo_cli
from tesmo_cli import _engine

# Growth per 1,000 iterations beyond which the check fails.
RSS_LIMIT_KIB = 512
MALLOC_LIMIT_KIB = 64
BLOCKS_LIMIT = 200
TRACKED_LIMIT = 50


def rt(value, rate=24.0):
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": rate, "value": value}


def clip(name, start=0.0, duration=48.0, url=None, effects=0):
    return {"OTIO_SCHEMA": "Clip.1", "name": name,
            "source_range": {"OTIO_SCHEMA": "TimeRange.1", "start_time": rt(start),
                             "duration": rt(duration)},
            "effects": [{"OTIO_SCHEMA": "Effect.1", "name": f"fx{i}"} for i in range(effects)],
            "media_reference": {"OTIO_SCHEMA": "ExternalReference.1", "name": "",
                                "target_url": url or f"{name}.mov"},
            "metadata": {"note": "\u00e9t\u00e9", "take": 3, "ratio": 0.5, "flags": [True, None]}}


def timeline(variant):
    """Twenty distinct timelines; each differs from variant 0 in every way
    the diff reports."""
    clips = [clip(f"c{i}", duration=48.0 + (variant if i == 1 else 0)) for i in range(8)]
    if variant % 2:
        clips.reverse()
    if variant % 3:
        clips[2] = clip("c2", url="other.mov", effects=variant % 4)
    tracks = [{"OTIO_SCHEMA": "Track.1", "name": "V1", "kind": "Video", "children": clips}]
    if variant % 5:
        tracks.append({"OTIO_SCHEMA": "Track.1", "name": "A1", "kind": "Audio",
                       "children": [clip("music", duration=480.0)]})
    return {"OTIO_SCHEMA": "Timeline.1", "name": f"cut {variant}",
            "tracks": {"OTIO_SCHEMA": "Stack.1", "name": "tracks", "children": tracks}}


TIMELINES = [timeline(v) for v in range(20)]


class Lying(collections.abc.Sequence):
    """Answers 2, then 3 to len(): refused as a sequence that changed length."""

    def __init__(self):
        self.calls = 0

    def __len__(self):
        self.calls += 1
        return 1 + self.calls

    def __getitem__(self, i):
        return i


class RaisingKeys(collections.abc.Mapping):
    def keys(self):
        raise KeyError("k")

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


def deep(levels):
    value = []
    for _ in range(levels):
        value = [value]
    return value


BAD_VALUES = [{1: 2}, b"x", [object()], 2**64, 2**200, "\ud800", {"k": Lying},
              deep(200), RaisingKeys()]


def expect_error(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{call.__name__} did not raise {kind.__name__}")


class Session:
    """One repository: main with two commits, branch alt at a third."""

    def __init__(self, parent):
        # The same name every round: pathlib interns the parts of every path
        # it parses, so new names would grow the interpreter's memory.
        self.dir = os.path.join(parent, "repo")
        os.mkdir(self.dir)
        self.repo = tesmo.Repo.init(self.dir)
        self.repo.commit(TIMELINES[0], "first")
        self.repo.create_branch("alt")
        self.repo.switch_branch("alt")
        self.repo.commit(TIMELINES[7], "on alt")
        self.repo.switch_branch("main")
        self.repo.commit(TIMELINES[1], "second")
        self.missing = "sha256:" + "0" * 64
        self.root = str(self.repo.root)

    def close(self):
        shutil.rmtree(self.dir)

    def iteration(self, i):
        repo = self.repo
        commit_id = repo.commit(TIMELINES[i % 20], f"commit {i}", author_name="leak",
                                author_email="leak@localhost")
        assert repo.read_timeline(commit_id) == TIMELINES[i % 20]
        record = repo.read_commit(commit_id[7:19])
        assert repo.resolve("HEAD") == commit_id and record["message"] == f"commit {i}"
        assert len(repo.log("alt")) == 2
        changes = tesmo.diff(TIMELINES[0], TIMELINES[i % 20])
        payloads = [(change.op, change.to_dict(), repr(change)) for change in changes]
        assert len(payloads) == len(changes)
        for change in repo.diff_refs("main", "alt"):
            change.to_dict()
        records = tesmo_cli.compare(TIMELINES[0], TIMELINES[i % 20])
        assert all(isinstance(record, dict) for record in records)
        timelines = [repo.read_commit(ref)["timeline"] for ref in ("alt", "main", commit_id)]
        assert len(_engine.compare_timelines(self.root, timelines)) == 2
        assert [name for name, _ in repo.list_branches()] == ["alt", "main"]
        assert repo.current_branch() == "main"
        assert repo.root.name == ".tesmo" and repr(repo).startswith("Repo(")

        # Error paths: each must raise and keep nothing.
        bad = BAD_VALUES[i % len(BAD_VALUES)]
        if isinstance(bad, dict) and bad.get("k") is Lying:
            bad = {"k": Lying()}
        expect_error(tesmo.TesmoError, repo.commit, bad, "m")
        expect_error(tesmo.TesmoError, tesmo.diff, TIMELINES[0], bad)
        expect_error(tesmo.TesmoError, tesmo.diff, {"OTIO_SCHEMA": "Clip.1"}, TIMELINES[0])
        expect_error(tesmo.TesmoError, tesmo_cli.compare, TIMELINES[0], bad)
        expect_error(tesmo.TesmoError, tesmo_cli.compare, {"OTIO_SCHEMA": "Clip.1"}, TIMELINES[0])
        expect_error(tesmo.TesmoError, _engine.compare_timelines, self.root, [self.missing] * 2)
        expect_error(tesmo.TesmoError, repo.read_commit, "no-such-ref")
        expect_error(tesmo.TesmoError, repo.read_timeline, self.missing)
        expect_error(tesmo.TesmoError, repo.log, "not/a/ref")
        expect_error(tesmo.TesmoError, repo.diff_refs, "main", "gone")
        expect_error(tesmo.TesmoError, repo.switch_branch, "gone")
        expect_error(tesmo.TesmoError, repo.delete_branch, "gone")
        expect_error(tesmo.TesmoError, repo.delete_branch, "main")
        expect_error(tesmo.TesmoError, repo.create_branch, "alt")
        expect_error(tesmo.TesmoError, repo.create_branch, "bad name")
        expect_error(tesmo.TesmoError, tesmo.Repo.open, os.path.dirname(self.dir))
        expect_error(TypeError, repo.commit, TIMELINES[0], 5)
        expect_error(TypeError, repo.create_branch, "x", at=None)
        expect_error(UnicodeEncodeError, repo.resolve, "\udc80")


def rss_kib():
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def malloc_in_use_kib():
    """Bytes the C library's malloc has handed out and not got back (glibc's
    mallinfo2), or None where it is missing. Unlike the RSS it does not move
    with arenas and freed pages, so it shows a leak of C++ buffers sharply."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024


def measure():
    gc.collect()
    return {"rss": rss_kib(), "malloc": malloc_in_use_kib(), "blocks": sys.getallocatedblocks(),
            "tracked": len(gc.get_objects())}


def run_round(parent, first, count):
    session = Session(parent)
    try:
        for i in range(first, first + count):
            session.iteration(i)
    finally:
        session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short run, for the test suite")
    parser.add_argument("--rounds", type=int, help="rounds after the warm-up")
    parser.add_argument("--iterations", type=int, help="iterations per round")
    parser.add_argument("--dir", help="where the repositories go (default: /dev/shm when it "
                        "exists, else the temporary directory)")
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 10)
    per_round = args.iterations or (500 if args.quick else 2000)
    # Commits rename files over others, which some file systems make slow;
    # the check is about memory, so a memory file system serves best.
    where = args.dir or ("/dev/shm" if os.path.isdir("/dev/shm") else None)

    parent = tempfile.mkdtemp(prefix="tesmo-leak-", dir=where)
    try:
        # Warm-up: caches, free lists and arenas reach their working size.
        warm_up = max(per_round, 500)
        for r in range(2):
            run_round(parent, -(r + 1) * warm_up, warm_up)
        start = measure()
        samples = [start]
        for r in range(rounds):
            run_round(parent, (r + 1) * per_round, per_round)
            samples.append(measure())
    finally:
        shutil.rmtree(parent, ignore_errors=True)
    end = samples[-1]

    print(f"leak check: {rounds} rounds of {per_round} iterations after two warm-up rounds")
    print("RSS per round (KiB): " + " ".join(str(s["rss"]) for s in samples))
    print("allocated blocks per round: " + " ".join(str(s["blocks"]) for s in samples))
    print("malloc in use per round (KiB): " + " ".join(str(s["malloc"]) for s in samples))
    failed = False
    for key, label, unit, limit in (("rss", "RSS", " KiB", RSS_LIMIT_KIB),
                                    ("malloc", "malloc in use", " KiB", MALLOC_LIMIT_KIB),
                                    ("blocks", "allocated blocks", "", BLOCKS_LIMIT),
                                    ("tracked", "tracked objects", "", TRACKED_LIMIT)):
        if start[key] is None:
            print(f"{label}: not available here")
            continue
        # The median of the rounds' growth: a leak grows memory in every
        # round, while a table that doubles once or a free list that fills
        # up moves one round only.
        steps = sorted(b[key] - a[key] for a, b in zip(samples, samples[1:]))
        growth = statistics.median(steps) * 1000 / per_round
        verdict = "ok" if growth <= limit else "TOO MUCH"
        failed = failed or growth > limit
        print(f"{label}: {start[key]}{unit} after warm-up, {end[key]}{unit} at end; growth "
              f"{growth:.1f}{unit} per 1000 iterations (median of rounds; limit {limit}{unit}): "
              f"{verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
