"""The remote benchmark runs and writes the rows it promises, with figures
of the right kind. How fast anything was is not checked: timings belong to
the benchmark, not to the test suite."""

import json
import numbers
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench" / "bench_remote.py"

SIZES = ["canonical_text", "local_objects", "bridge_objects", "remote_pushed", "remote_gc",
         "remote_gc_aggressive", "one_version_text"]
SECONDS = ["history", "command_floor", "push_first", "clone", "gc_seconds",
           "gc_aggressive_seconds", "push_one", "push_one_ssh", "fetch_one", "pull_one"]
RATIOS = {"ratio_remote_pushed": "remote_pushed", "ratio_remote_gc": "remote_gc",
          "ratio_remote_gc_aggressive": "remote_gc_aggressive"}
SENT = ["push_one_sent", "push_one_pack", "push_one_received"]

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="remotes travel through git")


def test_smoke_run_writes_every_row(tmp_path):
    out = tmp_path / "bench_remote.json"
    result = subprocess.run([sys.executable, str(BENCH), "--smoke", "--json", str(out),
                             "--dir", str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "targets" in result.stdout and "bytes sent by that push" in result.stdout

    report = json.loads(out.read_text())
    assert report["mode"] == "smoke"
    assert (report["versions"], report["clips"]) == (5, 200)
    rows = {r["key"]: r for r in report["rows"]}
    assert sorted(rows) == sorted(SIZES + SECONDS + list(RATIOS) + SENT)
    for key, row in rows.items():
        assert isinstance(row["value"], numbers.Real) and not isinstance(row["value"], bool), key
        assert row["name"] and row["unit"] in ("s", "bytes", "ratio"), key
    for key in SIZES + SENT:
        assert rows[key]["unit"] == "bytes" and rows[key]["value"] > 0, key
    for key in SECONDS:
        assert rows[key]["unit"] == "s" and rows[key]["value"] >= 0, key
    for key, size in RATIOS.items():
        expected = rows[size]["value"] / rows["local_objects"]["value"]
        assert rows[key]["value"] == pytest.approx(expected), key

    # The pack is part of what the push sent, and one version's pack is
    # far smaller than its canonical text.
    assert rows["push_one_pack"]["value"] < rows["push_one_sent"]["value"]
    assert rows["push_one_sent"]["value"] < rows["one_version_text"]["value"]
    # The commands did what they were timed doing.
    assert report["checks"] == {"cloned_same": True, "pulled_same": True, "ssh_sessions": 1}

    targets = {t["target"]: t for t in report["targets"]}
    assert len(targets) == 2
    for target in targets.values():
        assert target["verdict"] == ("PASS" if target["value"] <= target["limit"] else "FAIL")
    assert sorted(t["value"] for t in targets.values()) == \
        sorted(rows[k]["value"] for k in ("ratio_remote_gc", "ratio_remote_gc_aggressive"))
    assert not list(tmp_path.glob("tesmo-bench-remote-*")), "the temporary stores are left over"
