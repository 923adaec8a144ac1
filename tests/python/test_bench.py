"""The benchmark script runs and writes the rows it promises. Its figures are
not checked: timings belong to the benchmark, not to the test suite."""

import importlib.util
import json
import numbers
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[2] / "bench" / "bench.py"

OPERATIONS = ["commit", "read_timeline", "diff", "diff_refs"]
# Measured against orjson and libdeflate, which bench/requirements.txt installs.
PEER_OPERATIONS = ["commit, new", "commit, stored", "read_timeline, peer", "diff, peer"]
# Rows set against a baseline and no floor.
BASELINE_ONLY = PEER_OPERATIONS + ["compare", "compare history", "merge"]
COLUMNS = ["tesmo", "baseline", "ratio", "floor", "floor_ratio", "tesmo_nogc", "baseline_nogc",
           "ratio_nogc"]


def test_smoke_run_writes_every_row(tmp_path):
    out = tmp_path / "bench.json"
    result = subprocess.run([sys.executable, str(BENCH), "--smoke", "--json", str(out),
                             "--dir", str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "operation" in result.stdout and "targets" in result.stdout

    report = json.loads(out.read_text())
    assert report["mode"] == "smoke"
    rows = {(r["operation"], r["size"]): r for r in report["rows"]}
    expected = [(op, f"{n} clips") for n in (50, 500) for op in OPERATIONS]
    peers = all(importlib.util.find_spec(name) for name in ("orjson", "deflate"))
    expected += [(op, "500 clips") for op in PEER_OPERATIONS if peers]
    expected += [("read_commit", "1 commit"), ("log", "30 commits"), ("resolve", "200 objects"),
                 ("commit peak memory", "500 clips"), ("read peak memory", "500 clips"),
                 ("object file size", "500 clips"), ("compare", "500 clips"), ("merge", "500 clips"),
                 ("log --clip", "10 commits"), ("compare history", "10 commits")]
    assert sorted(rows) == sorted(expected)
    for (operation, _), row in rows.items():
        assert set(COLUMNS) <= set(row)
        assert isinstance(row["tesmo"], numbers.Real)
        assert isinstance(row["floor"] if operation not in BASELINE_ONLY else row["baseline"],
                          numbers.Real)
    assert rows[("diff", "50 clips")]["baseline"] is None
    assert all(rows[("read_timeline", f"{n} clips")]["ids_match"] for n in (50, 500))
    assert rows[("compare", "500 clips")]["records"] > 0
    assert rows[("log --clip", "10 commits")]["commits_found"] >= 1
    assert rows[("merge", "500 clips")]["conflicts"] >= 0
    assert len(report["targets"]) == 21
    assert "objects compressed with libdeflate" in result.stdout or "with zlib" in result.stdout
    assert {t["verdict"] for t in report["targets"]} <= {"PASS", "FAIL", "n/a"}
