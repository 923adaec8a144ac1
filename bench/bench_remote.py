"""Benchmark of tesmo's git remotes: store sizes, push, clone, fetch and pull.

Builds a history of deterministic OpenTimelineIO-shaped timelines (bench.py's
generator), each version a few edits from the one before, with the Python
API; then runs the `tesmo` command as a user would against bare git
repositories on this machine: the first push, a clone, git's housekeeping on
the remote, then one more version pushed, fetched and pulled. The bytes a
push of one version sends are counted by an ssh stand-in (GIT_SSH_COMMAND)
that runs the remote side locally. Nothing here asserts a figure: the table
is printed (and written as JSON with --json FILE), and the targets are
evaluated as PASS/FAIL text.

    python bench/bench_remote.py            # 100 versions of 2,000 clips
    python bench/bench_remote.py --quick    # 30 versions of 2,000 clips
    python bench/bench_remote.py --smoke    # 5 versions of 200 clips, seconds
"""

import argparse
import json
import os
import platform
import random
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tesmo  # noqa: E402

from bench import canonical, edit_once, fmt, gc_paused, make_timeline  # noqa: E402

MODES = {
    "full": dict(versions=100, clips=2000),
    "quick": dict(versions=30, clips=2000),
    "smoke": dict(versions=5, clips=200),
}

BRANCH = "main"


# --------------------------------------------------------------------------
# The history: each version an editing pass of a few edits on the one before.

def edit_pass(timeline, rng, n):
    """One edit of each kind make_edited makes, at clips chosen in
    proportion to the tracks' current lengths."""
    tracks = timeline["tracks"]["children"]

    def pick():
        weights = [len(t["children"]) for t in tracks]
        track = rng.choices(tracks, weights)[0]
        items = track["children"]
        while True:
            i = rng.randrange(len(items))
            if items[i]["OTIO_SCHEMA"].startswith("Clip"):
                return track, items, i

    edit_once(tracks, pick, rng, n, f"_v{n}", f"blur {n}")


def build_history(where, versions, clips):
    """A repository at `where` whose main holds `versions` commits; returns
    the repository, the last timeline (to edit further), the random source
    and the total canonical text of the versions."""
    with gc_paused():
        timeline = make_timeline(clips)
    rng = random.Random(versions * 7919 + clips)
    repo = tesmo.Repo.init(where)
    text = 0
    for n in range(versions):
        if n:
            edit_pass(timeline, rng, n)
        repo.commit(timeline, f"pass {n}")
        text += len(canonical(timeline))
    return repo, timeline, rng, text


# --------------------------------------------------------------------------
# Helpers: sizes, the command, git.

def tree_size(path):
    """Sum of the sizes of the files under path, as du would add them up
    (apparent sizes, symbolic links not followed)."""
    total = 0
    for top, dirs, files in os.walk(path):
        for name in files:
            full = os.path.join(top, name)
            if not os.path.islink(full):
                total += os.path.getsize(full)
    return total


def tesmo_cmd(where, *args, env=None):
    """Runs `tesmo -C where ARGS` in a child interpreter; returns (seconds,
    stdout). A failure stops the benchmark with the command's messages."""
    command = [sys.executable, "-m", "tesmo_cli", "-C", str(where), "--color", "never", *args]
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=env)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"tesmo {' '.join(args)} failed ({done.returncode}):\n"
                         f"{done.stdout}{done.stderr}")
    return elapsed, done.stdout


def git(*args):
    start = time.perf_counter()
    subprocess.run(["git", *args], check=True, capture_output=True, stdin=subprocess.DEVNULL)
    return time.perf_counter() - start


def branch_tip(repo_dir):
    """The commit id main points at, read from its branch file."""
    return (Path(repo_dir) / ".tesmo" / "refs" / "heads" / BRANCH).read_text().strip()


# --------------------------------------------------------------------------
# The ssh stand-in: git runs it as `WRAPPER [options] HOST COMMAND`; it runs
# COMMAND here and counts what it relays each way.

SSH_WRAPPER = r'''
import json, os, subprocess, sys, threading

log, host, command = sys.argv[1], sys.argv[-2], sys.argv[-1]
child = subprocess.Popen(["sh", "-c", command], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
counts = {"sent": 0, "received": 0, "pack_at": None}


def relay_in():
    tail = b""
    while True:
        try:
            chunk = os.read(0, 65536)
        except OSError:
            break
        if not chunk:
            break
        if counts["pack_at"] is None:  # where the pack starts, after the ref commands
            window = tail + chunk
            at = window.find(b"PACK")
            if at >= 0:
                counts["pack_at"] = counts["sent"] - len(tail) + at
            tail = window[-3:]
        counts["sent"] += len(chunk)
        try:
            child.stdin.write(chunk)
            child.stdin.flush()
        except OSError:
            break
    try:
        child.stdin.close()
    except OSError:
        pass


relay = threading.Thread(target=relay_in, daemon=True)
relay.start()
while True:
    chunk = os.read(child.stdout.fileno(), 65536)
    if not chunk:
        break
    counts["received"] += len(chunk)
    view = memoryview(chunk)
    while view:
        view = view[os.write(1, view):]
code = child.wait()
relay.join(2.0)
pack = None if counts["pack_at"] is None else counts["sent"] - counts["pack_at"]
with open(log, "a") as f:
    f.write(json.dumps({"host": host, "command": command, "sent": counts["sent"],
                        "received": counts["received"], "pack": pack, "code": code}) + "\n")
sys.stdout.flush()
os._exit(code)
'''


def ssh_env(work):
    """The environment of a push through the stand-in, and its log file."""
    wrapper, log = work / "ssh_wrapper.py", work / "ssh_wrapper.log"
    wrapper.write_text(SSH_WRAPPER)
    env = dict(os.environ)
    env["GIT_SSH_COMMAND"] = " ".join(shlex.quote(str(p)) for p in (sys.executable, wrapper, log))
    env["GIT_SSH_VARIANT"] = "ssh"
    return env, log


# --------------------------------------------------------------------------
# The run.

def run(versions, clips, work):
    figures = {}

    def put(key, name, value, unit, note=""):
        figures[key] = dict(key=key, name=name, value=value, unit=unit, note=note)

    started = time.perf_counter()
    local = work / "local"
    repo, timeline, rng, text = build_history(local, versions, clips)
    put("history", f"build the history with the Python API ({versions} commits)",
        time.perf_counter() - started, "s")
    put("canonical_text", "canonical text of all versions", text, "bytes")
    put("local_objects", ".tesmo/objects", tree_size(repo.root / "objects"), "bytes")
    head = branch_tip(local)

    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import tesmo_cli.cli"], check=True)
    floor = time.perf_counter() - start
    put("command_floor", "python start + import tesmo_cli.cli", floor, "s",
        "in every command time below")

    # 1-2. The first push to an empty bare repository, then a clone.
    remote = work / "remote.git"
    git("init", "--bare", "--quiet", str(remote))
    tesmo_cmd(local, "remote", "add", "origin", str(remote))
    seconds, _ = tesmo_cmd(local, "push")
    put("push_first", f"first push of {versions} versions (export + transfer)", seconds, "s")
    put("bridge_objects", "the bridge's objects, .tesmo/git/objects",
        tree_size(repo.root / "git" / "objects"), "bytes")
    put("remote_pushed", "remote objects as pushed", tree_size(remote / "objects"), "bytes")

    clone = work / "clone"
    seconds, _ = tesmo_cmd(work, "clone", str(remote), str(clone))
    put("clone", f"clone of {versions} versions", seconds, "s",
        "same main as pushed" if branch_tip(clone) == head else "main differs from the pushed")
    cloned_same = branch_tip(clone) == head

    put("gc_seconds", "git gc on the remote", git("--git-dir", str(remote), "gc", "--quiet"), "s")
    put("remote_gc", "remote objects after git gc", tree_size(remote / "objects"), "bytes")
    put("gc_aggressive_seconds", "git gc --aggressive on the remote",
        git("--git-dir", str(remote), "gc", "--aggressive", "--quiet"), "s")
    put("remote_gc_aggressive", "remote objects after git gc --aggressive",
        tree_size(remote / "objects"), "bytes")
    local_size = figures["local_objects"]["value"]
    for key, what in (("remote_pushed", "as pushed"), ("remote_gc", "git gc"),
                      ("remote_gc_aggressive", "git gc --aggressive")):
        put(f"ratio_{key}", f"remote ({what}) / .tesmo/objects",
            figures[key]["value"] / local_size, "ratio")

    # 3-4. One version more: pushed to the remote, and through the ssh
    # stand-in to a copy of it as it was, then fetched and pulled by the clone.
    over_ssh = work / "remote-ssh.git"
    shutil.copytree(remote, over_ssh, symlinks=True)
    tesmo_cmd(local, "remote", "add", "ssh", f"ssh://localhost{over_ssh.resolve().as_posix()}")
    edit_pass(timeline, rng, versions)
    new_head = repo.commit(timeline, f"pass {versions}")
    seconds, _ = tesmo_cmd(local, "push")
    put("push_one", "push of one new version (export + transfer)", seconds, "s")
    env, log = ssh_env(work)
    seconds, _ = tesmo_cmd(local, "push", "ssh", env=env)
    put("push_one_ssh", "the same push through the ssh stand-in", seconds, "s",
        "transfer only: already exported; the stand-in is a Python process")
    sessions = [json.loads(line) for line in log.read_text().splitlines() if line.strip()]
    pushes = [s for s in sessions if "receive-pack" in s["command"]]
    sent = sum(s["sent"] for s in pushes)
    pack = sum(s["pack"] for s in pushes if s["pack"] is not None) \
        if any(s["pack"] is not None for s in pushes) else None
    put("push_one_sent", "bytes sent by that push", sent, "bytes",
        f"{len(pushes)} connection(s); ref commands and pack")
    put("push_one_pack", "of which the git pack", pack, "bytes")
    put("push_one_received", "bytes received by that push",
        sum(s["received"] for s in pushes), "bytes", "ref advertisement and status")
    put("one_version_text", "canonical text of the new version", len(canonical(timeline)), "bytes")

    seconds, _ = tesmo_cmd(clone, "fetch")
    put("fetch_one", "fetch of the new version in the clone", seconds, "s")
    seconds, _ = tesmo_cmd(clone, "pull")
    pulled_same = branch_tip(clone) == new_head
    put("pull_one", "pull of it (a fast-forward)", seconds, "s",
        "main now the pushed version" if pulled_same else "main is not the pushed version")
    return figures, dict(cloned_same=cloned_same, pulled_same=pulled_same,
                         ssh_sessions=len(pushes))


def targets(figures):
    out = []
    for key, what in (("ratio_remote_gc", "git gc"),
                      ("ratio_remote_gc_aggressive", "git gc --aggressive")):
        value = figures[key]["value"]
        out.append(dict(target=f"remote objects after push + {what} <= 1/10 of .tesmo/objects",
                        value=value, limit=0.1, verdict="PASS" if value <= 0.1 else "FAIL"))
    return out


def show(figure):
    value, unit = figure["value"], figure["unit"]
    if value is None:
        return "-"
    if unit == "ratio":
        return f"{value:.4f} (1/{1 / value:.1f})" if value else "0"
    if unit == "bytes":
        return f"{fmt(value, unit)} ({value:,} B)"
    return fmt(value, unit)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--quick", action="store_true", help="30 versions instead of 100")
    group.add_argument("--smoke", action="store_true", help="tiny run that checks the script works")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--dir", help="where to create the repositories (default: a temporary "
                                      "directory)")
    args = parser.parse_args()
    mode = "smoke" if args.smoke else "quick" if args.quick else "full"
    cfg = MODES[mode]
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="tesmo-bench-remote-") as tmp:
        figures, checks = run(cfg["versions"], cfg["clips"], Path(tmp).resolve())
    elapsed = time.perf_counter() - started
    results = targets(figures)

    git_version = subprocess.run(["git", "--version"], capture_output=True,
                                 text=True).stdout.strip()
    print(f"tesmo remote benchmark, {mode} run: {cfg['versions']} versions of {cfg['clips']} clips;"
          f" {os.cpu_count()} cores, Python {platform.python_version()}, {git_version},"
          f" {platform.platform()}; took {elapsed:.0f} s")
    print("times are one run each, of the tesmo command as a user runs it (interpreter start"
          " included); sizes are sums of file sizes\n")
    width = max(len(f["name"]) for f in figures.values())
    for figure in figures.values():
        note = f"  ({figure['note']})" if figure["note"] else ""
        print(f"  {figure['name']:<{width}}  {show(figure):>28}{note}")
    print("\nchecks: clone has the pushed main: {}; pull brought the new version: {}".format(
        "yes" if checks["cloned_same"] else "NO", "yes" if checks["pulled_same"] else "NO"))
    print("\ntargets")
    for t in results:
        print(f"  {t['verdict']:<4}  {t['target']}: {t['value']:.4f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(mode=mode, versions=cfg["versions"], clips=cfg["clips"],
                           seconds=elapsed, git=git_version, python=platform.python_version(),
                           rows=list(figures.values()), checks=checks, targets=results),
                      f, indent=2, ensure_ascii=False)
            f.write("\n")


if __name__ == "__main__":
    main()
