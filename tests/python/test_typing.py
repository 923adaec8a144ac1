"""The type stubs shipped in the wheel: mypy finds them for the installed
module, accepts correct use, reports wrong use, and stubtest finds them
consistent with the module itself."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tesmo

STUB = Path(tesmo.__file__).parent / "tesmo-stubs" / "__init__.pyi"

# Every member, called as the module accepts it, with the types the stubs
# promise. Also run, so that it is known to be correct use.
CORRECT = """\
import os
from pathlib import Path
from typing import Any, Optional

from typing_extensions import assert_type

import tesmo

repo = tesmo.Repo.init(Path("work").absolute())
assert_type(tesmo.Repo.open("work"), tesmo.Repo)
assert_type(tesmo.Repo.discover(start=Path("work")), tesmo.Repo)
os.chdir("work")
assert_type(tesmo.Repo.discover(), tesmo.Repo)
assert_type(repo.root, Path)
timeline = {"OTIO_SCHEMA": "Timeline.1", "tracks": {"OTIO_SCHEMA": "Stack.1", "children": []}}
first = repo.commit(timeline, "first", author_name="ana", author_email=None)
assert_type(first, str)
assert_type(repo.commit(timeline=dict(timeline, name="v2"), message="second"), str)
assert_type(repo.read_timeline(refstr=first), Any)
assert_type(repo.read_commit("HEAD"), dict[str, Any])
assert_type(repo.resolve(refstr=first[7:15]), str)
assert_type(repo.log(), list[tuple[str, dict[str, Any]]])
assert_type(repo.log(refstr=None), list[tuple[str, dict[str, Any]]])
assert_type(repo.create_branch("b", at=first), str)
assert_type(repo.list_branches(), list[tuple[str, str]])
assert_type(repo.current_branch(), Optional[str])
assert_type(repo.switch_branch(name="b"), None)
repo.switch_branch("main")
assert_type(repo.delete_branch(name="b"), None)
assert_type(repo.diff_refs(before_ref=first, after_ref="HEAD"), list[tesmo.Change])
for change in tesmo.diff(before=timeline, after=timeline):
    assert_type(change.op, str)
    assert_type(change.to_dict(), dict[str, Any])
try:
    repo.resolve("nothing")
except tesmo.TesmoError as error:
    assert_type(error.args, tuple[Any, ...])
    failure: Exception = error
"""

# Each line that mypy should refuse, and what it says, by line number.
WRONG = """\
import tesmo

repo = tesmo.Repo.init("work")
repo.commit({}, 5)
repo.log(3)
repo.create_branch("b", at=None)
repo.commit({}, "m", author="x")
tesmo.Repo.init(b"work")
tesmo.Repo()
repo.root = repo.root
class MyChange(tesmo.Change): ...
tesmo.diff({})
"""

WRONG_REPORT = """\
wrong.py:4: error: Argument 2 to "commit" of "Repo" has incompatible type "int"; expected "str"  [arg-type]
wrong.py:5: error: Argument 1 to "log" of "Repo" has incompatible type "int"; expected "str | None"  [arg-type]
wrong.py:6: error: Argument "at" to "create_branch" of "Repo" has incompatible type "None"; expected "str"  [arg-type]
wrong.py:7: error: Unexpected keyword argument "author" for "commit" of "Repo"  [call-arg]
wrong.py:8: error: Argument 1 to "init" of "Repo" has incompatible type "bytes"; expected "str | PathLike[str]"  [arg-type]
wrong.py:9: error: Too few arguments for "Repo"  [call-arg]
wrong.py:10: error: Property "root" defined in "Repo" is read-only  [misc]
wrong.py:11: error: Cannot inherit from final class "Change"  [misc]
wrong.py:12: error: Missing positional argument "after" in call to "diff"  [call-arg]
"""


def test_stub_is_shipped_and_reads_as_python_3_9():
    ast.parse(STUB.read_text(), filename=str(STUB), feature_version=(3, 9))


@pytest.fixture
def run_mypy(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (pip install -r tests/requirements.txt)")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))

    def run(*args):
        return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=300)
    return run


def check(run_mypy, tmp_path, name, source):
    (tmp_path / name).write_text(source)
    return run_mypy("mypy", "--config-file=", "--strict", "--no-error-summary",
                    "--no-pretty", "--no-color-output", "--show-error-codes", name)


def test_correct_use_passes(run_mypy, tmp_path):
    result = check(run_mypy, tmp_path, "correct.py", CORRECT)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    ran = subprocess.run([sys.executable, "correct.py"], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr


def test_wrong_use_is_reported(run_mypy, tmp_path):
    result = check(run_mypy, tmp_path, "wrong.py", WRONG)
    assert result.returncode == 1
    # mypy adds where the called function is defined after some errors.
    errors = [line for line in result.stdout.splitlines() if ": note: " not in line]
    assert errors == WRONG_REPORT.splitlines()


def test_stubtest_finds_the_stubs_consistent(run_mypy):
    result = run_mypy("mypy.stubtest", "--mypy-config-file=", "tesmo")
    assert (result.returncode, result.stdout) == (0, "Success: no issues found in 1 module\n"), \
        result.stdout + result.stderr
