"""Every python block of README.md runs as written and prints what the README
says it prints.

The blocks run in order, in one namespace (a later block uses names from an
earlier one), in an empty current directory. A text block that follows a
python block, with nothing but blank lines between them, is exactly what
that block prints, where "..." stands for any text within one line; a
python block without one prints nothing. Blocks that import opentimelineio
are left out when it is not installed, so no later block may depend on
them."""

import contextlib
import importlib.util
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def blocks(text):
    """(code, expected output or None, line number) for each python block."""
    fences = list(FENCE.finditer(text))
    for fence, following in zip(fences, fences[1:] + [None]):
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


def test_readme_blocks(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    have_otio = importlib.util.find_spec("opentimelineio") is not None
    namespace = {"__name__": "readme"}
    left_out = 0
    found = list(blocks(README.read_text()))
    assert len(found) >= 5
    for code, expected, line in found:
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
        pytest.skip(f"{left_out} block(s) need opentimelineio, which is not installed")
