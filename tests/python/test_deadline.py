"""The per-test deadline ends a hung run with a traceback of every thread."""

import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).parent

# One hung test with a thread in each way of hanging: a loop in Python code,
# asleep in a system call, and, in the test itself, a loop in C that holds the
# interpreter lock, as a stuck extension would. The watchdog needs no
# interpreter lock, so it still ends the run, and the traceback shows where
# each thread was.
HANG = """\
import threading
import time


def python_loop(started):
    started.set()
    while True:
        pass


def sleeping(started):
    started.set()
    time.sleep(3600)


def test_hang():
    for target in (python_loop, sleeping):
        started = threading.Event()
        threading.Thread(target=target, args=(started,), daemon=True).start()
        started.wait()
    sum(range(10**15))
"""


def line_of(text):
    return HANG.splitlines().index(text) + 1


def test_a_hung_test_ends_the_run_with_a_traceback_of_every_thread(tmp_path):
    (tmp_path / "test_hang.py").write_text(HANG)
    env = dict(os.environ, TESMO_TEST_TIMEOUT="2",
               PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             "-p", "deadline", "test_hang.py"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=60)
    assert time.monotonic() - started < 30
    assert result.returncode != 0
    assert "Timeout (0:00:02)!" in result.stderr
    where = 'test_hang.py", line {} in {}'
    assert where.format(line_of("    sum(range(10**15))"), "test_hang") in result.stderr
    assert where.format(line_of("    time.sleep(3600)"), "sleeping") in result.stderr
    assert any(where.format(line_of(text), "python_loop") in result.stderr
               for text in ("    while True:", "        pass")), result.stderr
