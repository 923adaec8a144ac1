"""Every python block of README.md runs as written and prints what the README
says it prints.

The blocks run in order, in one namespace (a later block uses names from an
earlier one), in an empty current directory. A text block that follows a
python block, with nothing but blank lines between them, is exactly what
that block prints, where "..." stands for any text within one line; a
python block without one prints nothing. Blocks that import opentimelineio
are left out when it is not installed, so no later block may depend on
them.

A console block is a shell session: lines starting with "$ " are commands,
run together by bash in that same directory with the tesmo command on the
PATH, and every other line is what they print (stdout and stderr), matched
the same way. Console blocks that name an .edl file are left out when
OpenTimelineIO's EDL adapter is not installed."""

import contextlib
import importlib.util
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def blocks(text):
    """(code, expected output or None, line number) for each python block."""
    fences = list(FENCE.finditer(text))
    for fence, following in zip(fences, fences[1:] + [None]):
        if fence.group(1) == "console":
            lines = fence.group(2).splitlines(keepends=True)
            commands = "".join(line[2:] for line in lines if line.startswith("$ "))
            printed = "".join(line for line in lines if not line.startswith("$ "))
            yield ("console", commands), printed, text.count("\n", 0, fence.start(2)) + 1
            continue
        if fence.group(1) != "python":
            continue
        expected = None
        if (following is not None and following.group(1) == "text"
                and not text[fence.end():following.start()].strip()):
            expected = following.group(2)
        yield fence.group(2), expected, text.count("\n", 0, fence.start(2)) + 1


def matches(expected, output):
    lines = (".*".join(map(re.escape, line.split("..."))) for line in expected.split("\n"))
    return re.fullmatch("\n".join(lines), output) is not None


@pytest.mark.parametrize("expected, output, result", [
    ("sha256:... agent\n", "sha256:5f24 agent\n", True),
    ("sha256:... agent\n", "sha256:5f24 agent\nmore\n", False),
    ("a ... b\n", "a x\ny b\n", False),
    ("[1]\n", "1\n", False),
])
def test_matches(expected, output, result):
    assert matches(expected, output) is result


def shell_path(tmp_path):
    """PATH with the tesmo command of this interpreter first."""
    bin_dir = Path(sys.executable).parent
    if not (bin_dir / "tesmo").exists():
        bin_dir = tmp_path.parent / f"{tmp_path.name}-bin"
        bin_dir.mkdir(exist_ok=True)
        shim = bin_dir / "tesmo"
        shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tesmo_cli "$@"\n')
        shim.chmod(0o755)
    return f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"


def run_console(commands, cwd, path):
    environment = dict(os.environ, PATH=path)
    environment.pop("NO_COLOR", None)
    result = subprocess.run(["bash", "-c", commands], cwd=cwd, env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=120)
    return result.stdout


def test_readme_blocks(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    have_otio = importlib.util.find_spec("opentimelineio") is not None
    have_edl = have_otio and importlib.util.find_spec("otio_cmx3600_adapter") is not None
    namespace = {"__name__": "readme"}
    left_out = 0
    found = list(blocks(README.read_text()))
    assert len(found) >= 5
    path = shell_path(tmp_path)
    for code, expected, line in found:
        if isinstance(code, tuple):
            if ".edl" in code[1] and not have_edl:
                left_out += 1
                continue
            printed = run_console(code[1], tmp_path, path)
            assert matches(expected, printed), f"README.md:{line} printed:\n{printed}"
            continue
        if "import opentimelineio" in code and not have_otio:
            left_out += 1
            continue
        output = io.StringIO()
        with contextlib.redirect_stdout(output):
            # Offset so that a traceback points at the README line.
            exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)
        printed = output.getvalue()
        if expected is None:
            assert printed == "", f"the block at README.md:{line} prints without a text block"
        else:
            assert matches(expected, printed), f"README.md:{line} printed:\n{printed}"
    if left_out:
        pytest.skip(f"{left_out} block(s) need opentimelineio or its EDL adapter, "
                    "which is not installed")
