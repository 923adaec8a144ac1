"""Several processes writing one repository at once."""

import os
import subprocess
import sys
import textwrap

import tesmo

WORKERS = 4

# Each worker waits until the file "go" exists, so that all of them start
# writing at about the same moment, then prints one line per call.
PRELUDE = """
import os, sys, time
import tesmo
repo = tesmo.Repo.open(sys.argv[1])
worker = int(sys.argv[2])
while not os.path.exists(os.path.join(sys.argv[1], "go")):
    time.sleep(0.001)
"""

COMMITS = PRELUDE + """
for n in range(25):
    repo.commit({"worker": worker, "n": n}, f"w{worker}-{n}")
"""

CREATE_BRANCHES = PRELUDE + """
for k in range(40):
    try:
        repo.create_branch(f"b{k}", at=f"w{worker}")
        print(f"b{k} created")
    except tesmo.TesmoError as exc:
        print(exc.args[0])
"""


def start(workdir, script, worker):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tesmo.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), str(workdir),
                             str(worker)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def finish(proc):
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    return out.splitlines()


def run_workers(workdir, script):
    procs = [start(workdir, script, i) for i in range(WORKERS)]
    (workdir / "go").write_text("")
    return [finish(proc) for proc in procs]


def test_concurrent_commits_all_stay_in_history(repo, workdir):
    initial = repo.commit({"initial": True}, "initial")
    run_workers(workdir, COMMITS)
    entries = repo.log()
    ids = [commit_id for commit_id, _ in entries]
    assert len(ids) == WORKERS * 25 + 1
    assert len(set(ids)) == len(ids)
    assert ids[-1] == initial
    for (_, commit), parent in zip(entries, ids[1:]):
        assert commit["parents"] == [parent]
    messages = [commit["message"] for _, commit in entries]
    for worker in range(WORKERS):
        # Each worker's own commits appear newest first, none missing.
        mine = [m for m in messages if m.startswith(f"w{worker}-")]
        assert mine == [f"w{worker}-{n}" for n in reversed(range(25))]
    assert (repo.root / "refs/heads/main").read_text() == ids[0] + "\n"
    assert [p.name for p in (repo.root / "refs/heads").iterdir()] == ["main"]


def test_concurrent_create_branch_succeeds_once_per_name(repo, workdir):
    starts = {}
    for worker in range(WORKERS):
        starts[worker] = repo.commit({"start": worker}, "start")
        repo.create_branch(f"w{worker}")
    outputs = run_workers(workdir, CREATE_BRANCHES)
    for k in range(40):
        name = f"b{k}"
        lines = [line for out in outputs for line in out if name in line.split()]
        winners = [i for i, out in enumerate(outputs) if f"{name} created" in out]
        assert len(winners) == 1, lines
        assert sorted(lines) == [f"{name} created"] + [f"branch {name} already exists"] * 3
        content = (repo.root / "refs/heads" / name).read_text()
        assert content == starts[winners[0]] + "\n"


BRANCH_CHURN = PRELUDE + """
names = [f"x{k}" for k in range(5)]
rounds = 0
while rounds == 0 or not os.path.exists(os.path.join(sys.argv[1], "stop")):
    for name in names:
        repo.create_branch(name)
    listed = [name for name, _ in repo.list_branches()]
    assert listed == ["main"] + names, listed
    for name in names:
        repo.delete_branch(name)
    rounds += 1
print(rounds)
"""


def test_commits_while_other_branches_come_and_go(repo, workdir):
    """Four writers commit 50 times each on main while a fifth process keeps
    creating, listing and deleting other branches: no commit is lost or
    doubled, and every parent link holds."""
    initial = repo.commit({"initial": True}, "initial")
    committers = [start(workdir, COMMITS.replace("range(25)", "range(50)"), i)
                  for i in range(WORKERS)]
    churn = start(workdir, BRANCH_CHURN, WORKERS)
    (workdir / "go").write_text("")
    for proc in committers:
        finish(proc)
    (workdir / "stop").write_text("")
    rounds = int(finish(churn)[0])

    entries = repo.log()
    ids = [commit_id for commit_id, _ in entries]
    assert ids[-1] == initial and entries[-1][1]["parents"] == []
    for (_, commit), parent in zip(entries, ids[1:]):
        assert commit["parents"] == [parent]
    messages = [commit["message"] for _, commit in entries[:-1]]
    assert sorted(messages) == sorted(f"w{w}-{n}" for w in range(WORKERS) for n in range(50))
    assert len(set(ids)) == len(ids) == WORKERS * 50 + 1
    assert repo.list_branches() == [("main", ids[0])]
    print(f"\nconcurrency: {len(ids) - 1} concurrent commits kept, "
          f"{rounds} rounds of branch churn")
