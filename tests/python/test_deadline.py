"""The per-test deadline ends a hung run with a traceback."""

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).parent


@pytest.mark.parametrize("body", [
    "while True:\n        pass",  # a loop in Python code
    "sum(range(10**15))",  # a loop in C that holds the interpreter lock, as a stuck extension would
    "time.sleep(3600)",  # asleep in a system call
], ids=["python_loop", "c_loop", "sleeping"])
def test_a_hung_test_ends_the_run_with_a_traceback(tmp_path, body):
    (tmp_path / "test_hang.py").write_text(f"import time\n\ndef test_hang():\n    {body}\n")
    env = dict(os.environ, TESMO_TEST_TIMEOUT="2",
               PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             "-p", "deadline", "test_hang.py"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=60)
    assert time.monotonic() - started < 30
    assert result.returncode != 0
    assert "Timeout (0:00:02)!" in result.stderr
    assert 'test_hang.py", line' in result.stderr and "in test_hang" in result.stderr
