"""Benchmark of tesmo against the stdlib pipeline a Python user would write.

Generates deterministic OpenTimelineIO-shaped timelines (and an edited copy of
each), then times tesmo's operations, the stdlib baselines and the floors in
one process, interleaved, taking medians over repetitions. Peak memory of a
commit and of a read of the largest timeline is measured in child processes.
Nothing here asserts a timing: the figures are printed (and written as JSON
with --json FILE), and the targets are evaluated as PASS/FAIL text.

    python bench/bench.py            # full run, a few minutes
    python bench/bench.py --quick    # about a minute
    python bench/bench.py --smoke    # a couple of seconds, for the test suite
"""

import argparse
import contextlib
import gc
import gzip
import hashlib
import itertools
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import tesmo
import tesmo_cli

try:  # the fast peers, from bench/requirements.txt
    import deflate
    import orjson
except ImportError:
    deflate = orjson = None

MODES = {
    # sizes: timeline sizes in clips; reps: repetitions per size; nogc_max: the
    # largest size whose commit and diff are also timed with the collector
    # paused (reads always are); log_commits: commits in the history store;
    # store_objects: objects in it; sample: seconds one timed sample aims at;
    # compare: the size compare and diff are set against each other at;
    # clip_log: (commits, clips) of the history `log --clip` reads
    "full": dict(sizes=[50, 2000, 20000, 100000], reps={50: 7, 2000: 5, 20000: 5, 100000: 3},
                 nogc_max=20000, log_commits=1000, store_objects=20000, sample=0.03,
                 peer_sizes=[2000, 20000], compare=2000, clip_log=(100, 2000)),
    "quick": dict(sizes=[50, 2000, 20000], reps={50: 3, 2000: 2, 20000: 2},
                  nogc_max=2000, log_commits=200, store_objects=2000, sample=0.01,
                  peer_sizes=[2000, 20000], compare=2000, clip_log=(100, 2000)),
    "smoke": dict(sizes=[50, 500], reps={50: 1, 500: 1},
                  nogc_max=500, log_commits=30, store_objects=200, sample=0.002,
                  peer_sizes=[500], compare=500, clip_log=(10, 500)),
}

# --------------------------------------------------------------------------
# Timeline generator: deterministic for a given clip count.

VIDEO_RATES = [24.0, 25.0, 30000 / 1001]
AUDIO_RATE = 48000.0
SHOW = "file:///mnt/projects/harbour_lights/media"


def rtime(value, rate):
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": rate, "value": float(value)}


def trange(start, duration, rate):
    return {"OTIO_SCHEMA": "TimeRange.1", "duration": rtime(duration, rate),
            "start_time": rtime(start, rate)}


def media_ref(rng, reel, rate, audio):
    """An external reference mostly; now and then a missing one."""
    roll = rng.random()
    if roll < 0.88:
        ext = "wav" if audio else rng.choice(["mov", "mxf", "mp4"])
        length = rng.randrange(2000, 20000) * (2000 if audio else 1)
        return {"OTIO_SCHEMA": "ExternalReference.1", "name": "", "metadata": {},
                "available_range": trange(0, length, rate), "available_image_bounds": None,
                "target_url": f"{SHOW}/{'audio' if audio else 'video'}/{reel}.{ext}"}
    name = f"offline-{reel}" if roll < 0.96 else ""
    return {"OTIO_SCHEMA": "MissingReference.1", "name": name, "metadata": {},
            "available_range": None, "available_image_bounds": None}


def clip_metadata(rng, reel):
    roll = rng.random()
    if roll < 0.3:
        return {}
    if roll < 0.6:
        return {"bench": {"reel": reel, "scene": f"{rng.randrange(1, 80)}{rng.choice('ABC')}",
                          "take": rng.randrange(1, 12), "camera": rng.choice("AB"),
                          "circled": rng.random() < 0.3, "lens_mm": rng.choice([25.0, 35.0, 50.0])}}
    if roll < 0.85:
        return {"cmx_3600": {"reel": reel[:8], "comments": [f"SOURCE FILE: {reel}",
                                                            "Étalonnage: passe n°2 — ok"]}}
    return {"Resolve_OTIO": {"Clip Color": rng.choice(["Orange", "Teal", "Pink"]),
                             "Link Group ID": rng.randrange(1, 500), "Audio Channels": [1, 2],
                             "Gain": -3.5, "Notes": None}}


def effects(rng):
    roll = rng.random()
    if roll < 0.85:
        return []
    if roll < 0.93:
        return [{"OTIO_SCHEMA": "Effect.1", "name": "grade", "effect_name": "ColorCorrect",
                 "metadata": {"lift": [0.01, 0.0, -0.02], "gain": 1.05}}]
    if roll < 0.98:
        return [{"OTIO_SCHEMA": "LinearTimeWarp.1", "name": "speed", "effect_name": "LinearTimeWarp",
                 "metadata": {}, "time_scalar": rng.choice([0.5, 2.0, 1.25])}]
    return [{"OTIO_SCHEMA": "FreezeFrame.1", "name": "hold", "effect_name": "FreezeFrame",
             "metadata": {}, "time_scalar": 0.0}]


def markers(rng, rate, duration):
    if rng.random() >= 0.1:
        return []
    return [{"OTIO_SCHEMA": "Marker.2", "name": f"note {rng.randrange(100)}", "metadata": {},
             "color": rng.choice(["RED", "GREEN", "BLUE"]), "comment": "check sync",
             "marked_range": trange(rng.randrange(int(duration)), 1, rate)}]


def make_clip(rng, rate, audio, name=None):
    reel = f"{'S' if audio else 'A'}{rng.randrange(1, 60):03d}C{rng.randrange(1, 900):03d}"
    unit = 2000 if audio else 1
    start, duration = rng.randrange(0, 5000) * unit, rng.randrange(12, 240) * unit
    ref = media_ref(rng, reel, rate, audio)
    clip = {"OTIO_SCHEMA": "Clip.2", "name": name or f"{reel}_{rng.randrange(1, 9):02d}",
            "metadata": clip_metadata(rng, reel), "source_range": trange(start, duration, rate),
            "effects": effects(rng), "markers": markers(rng, rate, duration), "enabled": True}
    if rng.random() < 0.15:  # the older single-reference form
        clip["OTIO_SCHEMA"] = "Clip.1"
        clip["media_reference"] = ref
    else:
        clip["media_references"] = {"DEFAULT_MEDIA": ref}
        clip["active_media_reference_key"] = "DEFAULT_MEDIA"
    return clip


def make_gap(rng, rate):
    return {"OTIO_SCHEMA": "Gap.1", "name": "", "metadata": {}, "effects": [], "markers": [],
            "enabled": True, "source_range": trange(0, rng.randrange(6, 48), rate)}


def make_transition(rng, rate):
    half = rng.choice([6, 12, 24])
    return {"OTIO_SCHEMA": "Transition.1", "name": "Dissolve", "metadata": {},
            "transition_type": "SMPTE_Dissolve", "in_offset": rtime(half, rate),
            "out_offset": rtime(half, rate)}


def make_track(rng, name, kind, rate, clips):
    items = []
    for _ in range(clips):
        if items and rng.random() < 0.07:
            items.append(make_gap(rng, rate))
        elif kind == "Video" and items and items[-1]["OTIO_SCHEMA"].startswith("Clip") \
                and rng.random() < 0.08:
            items.append(make_transition(rng, rate))
        items.append(make_clip(rng, rate, kind == "Audio"))
    return {"OTIO_SCHEMA": "Track.1", "name": name, "kind": kind, "metadata": {},
            "source_range": None, "effects": [], "markers": [], "enabled": True,
            "children": items}


def make_timeline(clips):
    """A timeline of exactly `clips` clips on video and audio tracks."""
    rng = random.Random(clips)
    video, audio = (3, 4) if clips >= 500 else (2, 2)
    shares = [0.6 / video] * video + [0.4 / audio] * audio
    counts = [int(clips * s) for s in shares]
    counts[0] += clips - sum(counts)
    tracks = []
    for i, count in enumerate(counts):
        if i < video:
            tracks.append(make_track(rng, f"V{i + 1}", "Video", VIDEO_RATES[i % 3], count))
        else:
            tracks.append(make_track(rng, f"A{i - video + 1}", "Audio", AUDIO_RATE, count))
    return {"OTIO_SCHEMA": "Timeline.1", "name": f"reel 1 ({clips} clips)",
            "global_start_time": rtime(86400, 24.0),
            "metadata": {"bench": {"show": "Harbour Lights", "episode": 4, "locked": False}},
            "tracks": {"OTIO_SCHEMA": "Stack.1", "name": "tracks", "metadata": {},
                       "source_range": None, "effects": [], "markers": [], "enabled": True,
                       "children": tracks}}


def active_ref(clip):
    return clip.get("media_reference") or clip["media_references"]["DEFAULT_MEDIA"]


def edit_once(tracks, pick, rng, n, version, effect):
    """One edit of each kind on the tracks, at clips pick() chooses: a trim,
    replaced media (its file name gets the version suffix), a delete, an
    insert, a move (within the track or to a track of its kind), an added
    transition and an added effect of the given name."""
    _, items, i = pick()  # trim
    duration = items[i]["source_range"]["duration"]
    duration["value"] = max(1.0, duration["value"] - rng.randrange(2, 10))
    _, items, i = pick()  # replaced media
    ref = active_ref(items[i])
    if "target_url" in ref:
        stem, ext = ref["target_url"].rsplit(".", 1)
        ref["target_url"] = f"{stem}{version}.{ext}"
    else:
        ref.clear()
        ref.update(media_ref(random.Random(n), f"R{n:04d}", 24.0, False))
    _, items, i = pick()  # delete
    del items[i]
    track, items, i = pick()  # insert
    rate = items[i]["source_range"]["duration"]["rate"]
    items.insert(i, make_clip(rng, rate, track["kind"] == "Audio", name=f"insert_{n}"))
    track, items, i = pick()  # move, within the track or to a track of its kind
    clip = items.pop(i)
    target = rng.choice([t for t in tracks if t["kind"] == track["kind"]])
    target["children"].insert(rng.randrange(len(target["children"]) + 1), clip)
    track, items, i = pick()  # transition added after a clip
    if track["kind"] == "Video" and i + 1 < len(items) \
            and items[i + 1]["OTIO_SCHEMA"].startswith("Clip"):
        items.insert(i + 1, make_transition(rng, items[i]["source_range"]["duration"]["rate"]))
    _, items, i = pick()  # effect added
    items[i]["effects"].append({"OTIO_SCHEMA": "Effect.1", "name": effect, "metadata": {},
                                "effect_name": "GaussianBlur"})


def make_edited(clips):
    """The same timeline after an editing pass: about 0.4% of clips for each of
    trims, replaced media, deletes, inserts, moves, transitions and effects."""
    timeline = make_timeline(clips)
    rng = random.Random(-clips)
    tracks = timeline["tracks"]["children"]
    weights = [len(t["children"]) for t in tracks]

    def pick():
        track = rng.choices(tracks, weights)[0]
        items = track["children"]
        while True:
            i = rng.randrange(len(items))
            if items[i]["OTIO_SCHEMA"].startswith("Clip"):
                return track, items, i

    per_kind = max(1, clips // 250)
    for n in range(per_kind):
        edit_once(tracks, pick, rng, n, "_v2", "blur")
    return timeline


# --------------------------------------------------------------------------
# The stdlib pipeline: what a user would write by hand, same store layout.

def dumps(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def canonical(value):
    return dumps(value).encode()


class StdlibStore:
    def __init__(self, root):
        self.root = Path(root)
        self.head = self.root / "refs" / "heads" / "main"

    def path(self, oid):
        body = oid[len("sha256:"):]
        return self.root / "objects" / body[:2] / body[2:]

    def put(self, value):
        return self.put_text(canonical(value))

    def put_text(self, text):
        oid = "sha256:" + hashlib.sha256(text).hexdigest()
        path = self.path(oid)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(gzip.compress(text, compresslevel=6, mtime=0))
        return oid

    def get(self, oid):
        return json.loads(gzip.decompress(self.path(oid).read_bytes()))

    def commit(self, timeline, message):
        parents = [self.head.read_text().strip()] if self.head.exists() else []
        record = {"author": {"email": "agent@localhost", "name": "agent"}, "message": message,
                  "parents": parents, "schema": "tesmo.commit.1", "timeline": self.put(timeline),
                  "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        cid = self.put(record)
        self.head.parent.mkdir(parents=True, exist_ok=True)
        self.head.write_text(cid + "\n")
        return cid

    def log(self):
        out, cid = [], self.head.read_text().strip()
        while cid:
            record = self.get(cid)
            out.append((cid, record))
            cid = record["parents"][0] if record["parents"] else None
        return out

    def resolve(self, short):
        names = os.listdir(self.root / "objects" / short[:2])
        found = [n for n in names if n.startswith(short[2:])]
        if len(found) != 1:
            raise LookupError(short)
        return "sha256:" + short[:2] + found[0]


# --------------------------------------------------------------------------
# Timing: interleaved contenders, medians over repetitions.

def timed(fn, loops, gc_on):
    """Seconds per call of fn over `loops` calls, and the last result."""
    was = gc.isenabled()
    gc.enable() if gc_on else gc.disable()
    try:
        results = []  # kept alive so that freeing them is not timed
        start = time.perf_counter()
        for _ in range(loops):
            results.append(fn())
        elapsed = time.perf_counter() - start
    finally:
        gc.enable() if was else gc.disable()
    return elapsed / loops, results[-1]


def measure(contenders, reps, sample, modes=(True, False)):
    """Times each contender `reps` times, interleaved, in samples of about
    `sample` seconds. tesmo and the baseline run with the collector in each
    of `modes` (True: enabled), the floor with it enabled. Returns
    ({(name, gc_on): median seconds per call}, {name: a result})."""
    loops, last = {}, {}
    runs = [(name, fn, on) for name, fn in contenders.items()
            for on in (modes if name != "floor" else (True,))]
    samples = {(name, on): [] for name, _, on in runs}
    for name, fn in contenders.items():  # warm-up call, which also sizes the loops
        once, last[name] = timed(fn, 1, True)
        loops[name] = max(1, min(10000, int(sample / max(once, 1e-9))))
        if once > sample:  # a long call warms nothing up more: it counts as a sample
            samples[(name, True)].append(once)
    for rep in range(reps):
        shift = rep % len(runs)
        for name, fn, on in runs[shift:] + runs[:shift]:
            if len(samples[(name, on)]) < reps:
                samples[(name, on)].append(timed(fn, loops[name], on)[0])
    return {key: statistics.median(values) for key, values in samples.items()}, last


def div(a, b):
    return a / b if a is not None and b else None


def row(operation, size, clips, medians, baseline_is, floor_is, unit="s", **extra):
    """One line of the table: medians[(contender, gc_on)] in seconds (or bytes)."""
    get = medians.get
    tesmo_s, base, floor = get(("tesmo", True)), get(("baseline", True)), get(("floor", True))
    tesmo_off, base_off = get(("tesmo", False)), get(("baseline", False))
    return dict(operation=operation, size=size, clips=clips, unit=unit, tesmo=tesmo_s,
                baseline=base, ratio=div(tesmo_s, base), floor=floor,
                floor_ratio=div(tesmo_s, floor), tesmo_nogc=tesmo_off, baseline_nogc=base_off,
                ratio_nogc=div(tesmo_off, base_off), baseline_is=baseline_is,
                floor_is=floor_is, **extra)


@contextlib.contextmanager
def gc_paused():
    """Builds the inputs without the collector, which would only slow it down."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


def bench_size(clips, reps, sample, nogc, work):
    """commit, read_timeline, diff and diff_refs at one timeline size; the
    collector is also paused for reads, and for all when `nogc` is true."""
    with gc_paused():
        before, after = make_timeline(clips), make_edited(clips)
    size, rows = f"{clips} clips", []
    modes = (True, False) if nogc else (True,)
    repo = tesmo.Repo.init(work / f"tesmo-{clips}")
    std = StdlibStore(work / f"stdlib-{clips}")
    text, text_after = canonical(before), canonical(after)
    tid, tid_after = std.put_text(text), std.put_text(text_after)
    gz, gz_after = std.path(tid).read_bytes(), std.path(tid_after).read_bytes()
    counter, original = itertools.count(), before["name"]

    def renamed():
        before["name"] = f"reel 1 take {next(counter)}"  # a new object on every commit
        return before

    m, _ = measure({"tesmo": lambda: repo.commit(renamed(), "bench"),
                    "baseline": lambda: std.commit(renamed(), "bench"),
                    "floor": lambda: zlib.compress(text, 6)}, reps, sample, modes)
    rows.append(row("commit", size, clips, m, "json.dumps+sha256+gzip-6+write", "zlib-6 compress",
                    canonical_bytes=len(text)))
    before["name"] = original
    cid, cid_after = repo.commit(before, "before"), repo.commit(after, "after")
    ids_match = repo.read_commit(cid)["timeline"] == tid
    if not ids_match:
        print(f"warning: at {size} tesmo's timeline id differs from the stdlib one", file=sys.stderr)

    m, _ = measure({"tesmo": lambda: repo.read_timeline(cid),
                    "baseline": lambda: std.get(tid),
                    "floor": lambda: zlib.decompress(gz, 31)}, reps, sample)
    rows.append(row("read_timeline", size, clips, m, "read+gzip.decompress+json.loads",
                    "zlib decompress", ids_match=ids_match))

    m, last = measure({"tesmo": lambda: tesmo.diff(before, after),
                       "floor": lambda: (dumps(before), dumps(after))}, reps, sample, modes)
    rows.append(row("diff", size, clips, m, None, "json.dumps of both", changes=len(last["tesmo"])))

    m, _ = measure({"tesmo": lambda: repo.diff_refs(cid, cid_after),
                    "baseline": lambda: (std.get(tid), std.get(tid_after)),
                    "floor": lambda: (zlib.decompress(gz, 31), zlib.decompress(gz_after, 31))},
                   reps, sample, modes)
    rows.append(row("diff_refs", size, clips, m, "stdlib read of both", "zlib decompress of both"))
    return rows, std.path(tid), repo.root / "objects" / tid[7:9] / tid[9:]


def bench_fast_peers(clips, reps, sample, nogc, work):
    """tesmo against the fastest pipeline a Python user can assemble from
    PyPI: orjson's sorted dumps, hashlib's SHA-256, libdeflate's level 6
    (the deflate package) and a file write; orjson.loads for reads."""
    with gc_paused():
        before, after = make_timeline(clips), make_edited(clips)
    size, rows = f"{clips} clips", []
    modes = (True, False) if nogc else (True,)
    repo = tesmo.Repo.init(work / f"peers-{clips}")
    peer_dir = work / f"peers-{clips}-files"
    peer_dir.mkdir()
    sort = orjson.OPT_SORT_KEYS
    counter, original = itertools.count(), before["name"]

    def renamed():
        before["name"] = f"reel 1 take {next(counter)}"
        return before

    def peer_commit():
        text = orjson.dumps(renamed(), option=sort)
        oid = hashlib.sha256(text).hexdigest()
        with open(peer_dir / oid, "wb") as f:
            f.write(deflate.gzip_compress(text, 6))
        return oid

    m, _ = measure({"tesmo": lambda: repo.commit(renamed(), "bench"), "baseline": peer_commit},
                   reps, sample, modes)
    rows.append(row("commit, new", size, clips, m, "orjson+sha256+libdeflate-6+write", None))
    before["name"] = original
    cid = repo.commit(before, "stored")
    m, _ = measure({"tesmo": lambda: repo.commit(before, "again"),
                    "baseline": lambda: hashlib.sha256(orjson.dumps(before, option=sort)).hexdigest()},
                   reps, sample, modes)
    rows.append(row("commit, stored", size, clips, m, "orjson sorted dumps+sha256", None))
    text = orjson.dumps(before, option=sort)
    m, _ = measure({"tesmo": lambda: repo.read_timeline(cid), "baseline": lambda: orjson.loads(text)},
                   reps, sample)
    rows.append(row("read_timeline, peer", size, clips, m, "orjson.loads of the text", None))
    m, _ = measure({"tesmo": lambda: tesmo.diff(before, after),
                    "baseline": lambda: (orjson.dumps(before), orjson.dumps(after))},
                   reps, sample, modes)
    rows.append(row("diff, peer", size, clips, m, "orjson.dumps of both", None))
    return rows


def bench_compare(clips, reps, sample):
    """The comparison engine's change records (tesmo_cli.compare) against
    tesmo.diff's changes, for the same pair of timelines."""
    with gc_paused():
        before, after = make_timeline(clips), make_edited(clips)
    m, last = measure({"tesmo": lambda: tesmo_cli.compare(before, after),
                       "baseline": lambda: tesmo.diff(before, after)}, reps, sample)
    return [row("compare", f"{clips} clips", clips, m, "tesmo.diff of the same pair", None,
                records=len(last["tesmo"]), changes=len(last["baseline"]))]


def trimmed_apart(clips, edits):
    """The timeline with `edits` clips of its own choosing trimmed by a few
    frames: the other branch of a merge."""
    timeline = make_timeline(clips)
    rng = random.Random(clips + 1)
    items = [item for track in timeline["tracks"]["children"] for item in track["children"]
             if item["OTIO_SCHEMA"].startswith("Clip")]
    for item in rng.sample(items, edits):
        item["source_range"]["duration"]["value"] -= rng.randrange(1, 4)
    return timeline


def bench_merge(clips, reps, sample):
    """The three-way merge of two branches (an editing pass of about fifty
    edits, and fifty trims), against one comparison of a pair."""
    with gc_paused():
        base, ours, theirs = make_timeline(clips), make_edited(clips), trimmed_apart(clips, 50)
    m, last = measure({"tesmo": lambda: tesmo_cli.merge_timelines(base, ours, theirs),
                       "baseline": lambda: tesmo_cli.compare(base, ours)}, reps, sample)
    return [row("merge", f"{clips} clips", clips, m, "tesmo_cli.compare of base and ours", None,
                conflicts=len(last["tesmo"].conflicts))]


CLIP = "hero_shot"  # the clip `log --clip` follows


def bench_clip_log(commits, clips, reps, work):
    """`tesmo log --clip NAME`, the command as a user runs it, over a history
    of `commits` editing passes on a timeline of `clips` clips: each pass
    trims one clip somewhere, and every tenth also trims the followed one.
    The floor is the interpreter starting and importing the command."""
    with gc_paused():
        timeline = make_timeline(clips)
    rng = random.Random(commits)
    tracks = timeline["tracks"]["children"]
    items = [c for t in tracks for c in t["children"] if c["OTIO_SCHEMA"].startswith("Clip")]
    hero = items[len(items) // 3]
    hero["name"] = CLIP
    where = work / "clip-log"
    repo = tesmo.Repo.init(where)
    for i in range(commits):
        clip = rng.choice(items)
        duration = clip["source_range"]["duration"]
        duration["value"] += -1 if duration["value"] > 2 else 1
        if i % 10 == 0:
            hero["source_range"]["duration"]["value"] += 1
        repo.commit(timeline, f"pass {i}")
    command = [sys.executable, "-m", "tesmo_cli", "-C", str(where), "--color", "never",
               "log", "--clip", CLIP]

    def run(args):
        return subprocess.run(args, check=True, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL).stdout

    m, last = measure({"tesmo": lambda: run(command),
                       "floor": lambda: run([sys.executable, "-c", "import tesmo_cli.cli"])},
                      reps, 0.0, (True,))
    found = sum(1 for line in last["tesmo"].splitlines() if line and not line[0].isspace())
    rows = [row("log --clip", f"{commits} commits", clips, m, None,
                "python start + import tesmo_cli.cli", commits_found=found)]

    # The same history through the engine in one call, each version read
    # once, against diff_refs of each pair of commits.
    history = [cid for cid, _ in reversed(repo.log())]
    timelines = [repo.read_commit(cid)["timeline"] for cid in history]
    from tesmo_cli import _engine
    m, last = measure({"tesmo": lambda: _engine.compare_timelines(str(repo.root), timelines),
                       "baseline": lambda: [repo.diff_refs(a, b)
                                            for a, b in zip(history, history[1:])]},
                      reps, 0.0, (True,))
    rows.append(row("compare history", f"{commits} commits", clips, m,
                    "diff_refs of each pair", None,
                    records=sum(len(r) for r in last["tesmo"])))
    return rows


def object_size_row(clips, source):
    """The largest timeline's object file against zlib's level 6 of its text."""
    data = source.read_bytes()
    text = gzip.decompress(data)
    m = {("tesmo", True): len(data), ("baseline", True): len(gzip.compress(text, 6, mtime=0)),
         ("floor", True): len(text)}
    return row("object file size", f"{clips} clips", clips, m,
               "gzip at zlib level 6", "canonical text", unit="bytes")


def built_with():
    """Which deflate the installed module compresses with, as its build recorded it."""
    try:
        from tesmo_cli import _build_info
    except ImportError:
        return "unknown"
    return _build_info.DEFLATE


def bench_store(commits, objects, reps, sample, work):
    """read_commit, log and resolve in a store of `commits` commits and
    `objects` objects in all."""
    repo = tesmo.Repo.init(work / "history")
    timeline = make_timeline(5)  # log reads commit records only
    for i in range(commits):
        timeline["name"] = f"cut {i}"
        head = repo.commit(timeline, f"pass {i}")
    std = StdlibStore(repo.root)  # the stdlib reading tesmo's own files
    for i in range(objects - 2 * commits):  # more objects, written by hand
        path = std.path("sha256:" + hashlib.sha256(b"%d" % i).hexdigest())
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(gzip.compress(b'{"filler":%d}' % i, mtime=0))
    count = sum(len(files) for _, _, files in os.walk(repo.root / "objects"))
    rows = []

    commit_z6 = zlib.compress(canonical(repo.read_commit(head)), 6)
    m, _ = measure({"tesmo": lambda: repo.read_commit(head),
                    "baseline": lambda: std.get(head),
                    "floor": lambda: zlib.decompress(commit_z6)}, reps, sample)
    rows.append(row("read_commit", "1 commit", None, m, "read+gzip.decompress+json.loads",
                    "zlib decompress"))

    all_z6 = [zlib.compress(canonical(record), 6) for _, record in std.log()]
    m, _ = measure({"tesmo": repo.log, "baseline": std.log,
                    "floor": lambda: [zlib.decompress(z) for z in all_z6]}, reps, sample)
    rows.append(row("log", f"{commits} commits", None, m, "walk parents, stdlib reads",
                    "zlib decompress of each"))

    short = head[len("sha256:"):][:10]
    assert repo.resolve(short) == std.resolve(short) == head
    fanout = repo.root / "objects" / short[:2]
    m, _ = measure({"tesmo": lambda: repo.resolve(short),
                    "baseline": lambda: std.resolve(short),
                    "floor": lambda: os.listdir(fanout)}, reps, sample)
    rows.append(row("resolve", f"{count} objects", None, m, "listdir+prefix match",
                    "listdir of the fan-out dir"))
    return rows


# --------------------------------------------------------------------------
# Peak memory, in child processes running this script with --child.

def reset_peak():
    """Resets the kernel's resident high-water mark of this process (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def proc_status(field):
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import resource  # no /proc: the peak (ru_maxrss, KiB on Linux) stands in for both
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(kind, where, ref):
    """One operation, its peak memory added printed as JSON. For the commits
    `ref` is an object file holding the timeline; for the reads, the id."""
    if kind in ("commit", "stdlib-commit"):
        with gc_paused():
            timeline = json.loads(gzip.decompress(Path(ref).read_bytes()))
        if kind == "commit":
            repo = tesmo.Repo.init(where)
            op = lambda: repo.commit(timeline, "memory")
        else:
            store = StdlibStore(where)
            op = lambda: store.commit(timeline, "memory")
    elif kind == "read":
        repo = tesmo.Repo.open(where)
        op = lambda: repo.read_timeline(ref)
    else:
        store = StdlibStore(where)
        op = lambda: store.get(ref)
    gc.collect()
    reset = reset_peak()
    before = proc_status("VmRSS") if reset else proc_status("VmHWM")
    result = op()
    added = proc_status("VmHWM") - before
    print(json.dumps({"added": added, "peak_reset": reset,
                      "result": result if isinstance(result, str) else None}))


def run_child(kind, where, ref):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind,
                          "--where", str(where), "--ref", str(ref)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def bench_memory(clips, source, work):
    """Peak memory added by a commit and a read of the timeline in `source`."""
    where = work / "memory"
    commit = run_child("commit", where, source)
    std_commit = run_child("stdlib-commit", where / "stdlib", source)
    read = run_child("read", where, commit["result"])
    std = StdlibStore(where / "stdlib")
    std_read = run_child("stdlib-read", where / "stdlib", std.get(std_commit["result"])["timeline"])
    text = gzip.decompress(source.read_bytes())
    rows = []
    for op, mine, theirs, what in [("commit peak memory", commit, std_commit, "stdlib commit"),
                                   ("read peak memory", read, std_read, "stdlib read")]:
        m = {("tesmo", True): mine["added"], ("baseline", True): theirs["added"],
             ("floor", True): len(text)}
        rows.append(row(op, f"{clips} clips", clips, m, what, "canonical text size", unit="bytes",
                        peak_reset=mine["peak_reset"] and theirs["peak_reset"]))
    return rows


# --------------------------------------------------------------------------
# Report.

def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "bytes":
        return f"{value / 2**20:.1f} MB" if value >= 2**20 else f"{value / 2**10:.1f} KB"
    for scale, name in [(1, "s"), (1e-3, "ms"), (1e-6, "us")]:
        if value >= scale:
            return f"{value / scale:.3g} {name}"
    return f"{value / 1e-9:.3g} ns"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def table(rows):
    head = ["operation", "size", "tesmo", "baseline", "ratio", "floor", "/floor",
            "tesmo no-gc", "base no-gc", "ratio no-gc"]
    body = [[r["operation"], r["size"], fmt(r["tesmo"], r["unit"]), fmt(r["baseline"], r["unit"]),
             fmt_ratio(r["ratio"]), fmt(r["floor"], r["unit"]), fmt_ratio(r["floor_ratio"]),
             fmt(r["tesmo_nogc"], r["unit"]), fmt(r["baseline_nogc"], r["unit"]),
             fmt_ratio(r["ratio_nogc"])] for r in rows]
    widths = [max(len(line[i]) for line in [head] + body) for i in range(len(head))]
    lines = []
    for line in [head] + body:
        cells = [c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths))]
        lines.append("  ".join(cells))
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)


def targets(rows):
    """The targets, from this run's figures, with the collector on."""
    find = {(r["operation"], r["clips"]): r for r in rows}
    field = lambda op, clips, key: find[(op, clips)][key] if (op, clips) in find else None
    out = []

    def check(name, value, limit, nogc=None, note=""):
        verdict = "n/a" if value is None else "PASS" if value <= limit else "FAIL"
        out.append(dict(target=name, value=value, limit=limit, verdict=verdict, nogc=nogc,
                        note=note))

    check("commit <= 0.5 x stdlib pipeline (20000 clips)", field("commit", 20000, "ratio"), 0.5,
          field("commit", 20000, "ratio_nogc"))
    check("commit <= zlib-6 compression alone (20000 clips)",
          field("commit", 20000, "floor_ratio"), 1.0,
          div(field("commit", 20000, "tesmo_nogc"), field("commit", 20000, "floor")))
    check("read_timeline <= 0.5 x stdlib read (20000 clips)",
          field("read_timeline", 20000, "ratio"), 0.5, field("read_timeline", 20000, "ratio_nogc"))
    check("diff <= 0.3 x two json.dumps (20000 clips)", field("diff", 20000, "floor_ratio"), 0.3,
          div(field("diff", 20000, "tesmo_nogc"), field("diff", 20000, "floor")))
    for op in ["commit", "read_timeline", "diff"]:
        per_clip = lambda key, n: div(field(op, n, key), n)
        check(f"{op} per clip at 100000 <= 1.5 x at 2000",
              div(per_clip("tesmo", 100000), per_clip("tesmo", 2000)), 1.5,
              div(per_clip("tesmo_nogc", 100000), per_clip("tesmo_nogc", 2000)))
    for clips in (2000, 20000):
        check(f"commit of a stored timeline <= 1.3 x orjson sorted dumps+sha256 ({clips} clips)",
              field("commit, stored", clips, "ratio"), 1.3,
              field("commit, stored", clips, "ratio_nogc"))
        check(f"commit <= 1.1 x orjson+sha256+libdeflate-6+write ({clips} clips)",
              field("commit, new", clips, "ratio"), 1.1, field("commit, new", clips, "ratio_nogc"))
        check(f"diff <= 1.0 x two orjson.dumps ({clips} clips)",
              field("diff, peer", clips, "ratio"), 1.0, field("diff, peer", clips, "ratio_nogc"))
        check(f"read_timeline <= 1.0 x orjson.loads ({clips} clips)",
              field("read_timeline, peer", clips, "ratio"), 1.0,
              field("read_timeline, peer", clips, "ratio_nogc"))
    check("compare <= 2 x tesmo.diff (2000 clips)", field("compare", 2000, "ratio"), 2.0,
          field("compare", 2000, "ratio_nogc"))
    check("merge <= 3 x compare (2000 clips)", field("merge", 2000, "ratio"), 3.0,
          field("merge", 2000, "ratio_nogc"))
    clip_log = next((r for r in rows if r["operation"] == "log --clip"), {})
    check("log --clip < 1 s (100 commits of 2000 clips)",
          clip_log.get("tesmo") if clip_log.get("size") == "100 commits"
          and clip_log.get("clips") == 2000 else None, 1.0,
          note=f"{clip_log['commits_found']} commits found" if clip_log else "")
    sizes = next((r for r in rows if r["operation"] == "object file size"), {})
    check("largest object file <= gzip at zlib level 6", sizes.get("ratio"), 1.0,
          note=f"{sizes['tesmo']} bytes against {sizes['baseline']}" if sizes else "")
    memory = next((r for r in rows if r["operation"] == "commit peak memory"), {})
    check(f"commit peak memory added <= 1.5 x canonical text ({memory.get('size', '-')})",
          memory.get("floor_ratio"), 1.5,
          note=f"{fmt(memory['tesmo'], 'bytes')} for {fmt(memory['floor'], 'bytes')}"
          if memory else "")
    check(f"commit peak memory added <= 3 x canonical text ({memory.get('size', '-')})",
          memory.get("floor_ratio"), 3.0,
          note=f"{fmt(memory['tesmo'], 'bytes')} for {fmt(memory['floor'], 'bytes')}"
          if memory else "")
    return out


def machine():
    return dict(nproc=os.cpu_count(), python=platform.python_version(),
                platform=platform.platform(), processor=platform.machine(),
                tesmo=getattr(tesmo, "__file__", None), gc_threshold=list(gc.get_threshold()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--quick", action="store_true", help="fewer sizes and repetitions")
    group.add_argument("--smoke", action="store_true", help="tiny run that checks the script works")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--sizes", metavar="N,N,...",
                        help="timeline sizes in clips instead of the mode's own")
    parser.add_argument("--dir", help="where to create the stores (default: a temporary directory)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--where", help=argparse.SUPPRESS)
    parser.add_argument("--ref", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child, args.where, args.ref)

    mode = "smoke" if args.smoke else "quick" if args.quick else "full"
    cfg = dict(MODES[mode])
    if args.sizes:
        cfg["sizes"] = [int(n) for n in args.sizes.split(",")]
    started = time.perf_counter()
    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="tesmo-bench-") as tmp:
        work = Path(tmp)
        for clips in cfg["sizes"]:
            found, source, stored = bench_size(clips, cfg["reps"].get(clips, 3), cfg["sample"],
                                               clips <= cfg["nogc_max"], work)
            rows += found
            gc.collect()
            if orjson is not None and clips in cfg["peer_sizes"]:
                rows += bench_fast_peers(clips, cfg["reps"].get(clips, 3), cfg["sample"],
                                         clips <= cfg["nogc_max"], work)
                gc.collect()
        rows += bench_compare(cfg["compare"], cfg["reps"].get(cfg["compare"], 3), cfg["sample"])
        gc.collect()
        rows += bench_merge(cfg["compare"], cfg["reps"].get(cfg["compare"], 3), cfg["sample"])
        gc.collect()
        commits, clips = cfg["clip_log"]
        rows += bench_clip_log(commits, clips, min(3, max(cfg["reps"].values())), work)
        rows.append(object_size_row(cfg["sizes"][-1], stored))
        rows += bench_store(cfg["log_commits"], cfg["store_objects"], max(cfg["reps"].values()),
                            cfg["sample"], work)
        rows += bench_memory(max(cfg["sizes"]), source, work)
    elapsed = time.perf_counter() - started

    info = machine()
    print(f"tesmo benchmark, {mode} run: {info['nproc']} cores, Python {info['python']},"
          f" {info['platform']}; took {elapsed:.0f} s")
    print(f"module: {info['tesmo']}, objects compressed with {built_with()}")
    if orjson is None:
        print("fast peers skipped: pip install -r bench/requirements.txt")
    print("times are medians per call; ratio = tesmo / baseline, /floor = tesmo / floor;"
          " the cyclic GC is on except in the no-gc columns\n")
    print(table(rows))
    results = targets(rows)
    print("\ntargets (GC on)")
    for t in results:
        extra = [f"no-gc {fmt_ratio(t['nogc'])}"] if t["nogc"] is not None else []
        extra += [t["note"]] if t["note"] else []
        print(f"  {t['verdict']:<4}  {t['target']}: {fmt_ratio(t['value'])}"
              + (f"  ({', '.join(extra)})" if extra else ""))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(mode=mode, seconds=elapsed, machine=info, rows=rows, targets=results),
                      f, indent=2, ensure_ascii=False)
            f.write("\n")


if __name__ == "__main__":
    main()
