"""The examples run as a new user would run them, and say what they should."""

import subprocess
import sys
from pathlib import Path

import pytest

import tesmo

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_quickstart():
    result = subprocess.run([sys.executable, str(EXAMPLES / "quickstart.py")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == 'created Repo(root="<tmp>/my-edit/.tesmo")'
    history = lines[lines.index("history of recut") + 1:][:2]
    assert [line.split()[1:] for line in history] == [
        ["agent", "Tighter", "interview,", "new", "outro"], ["editor", "Assembly", "cut"]]
    changes = lines[lines.index("changes from main to recut") + 1:-1]
    assert changes == [
        "  V1: trimmed interview from 120 to 96 frames",
        "  V1: replaced media of outro: file:///media/outro.mov -> file:///media/outro_v2.mov",
        "  V1: added skyline at position 2",
        "  V1: transition added dissolve between intro and interview",
    ]
    assert "read back equal: True" in result.stdout
    assert lines[-1] == "found from renders/: True"


WORKFLOW = str(EXAMPLES / "otio_workflow.py")


def run_workflow(*args):
    return subprocess.run([sys.executable, WORKFLOW, *args],
                          capture_output=True, text=True, timeout=120)


def test_otio_workflow(tmp_path):
    pytest.importorskip("opentimelineio")
    result = run_workflow(str(tmp_path / "edit"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == [
        "main: 00:02:05:10 long, clips per track: V1 30, V2 2, A1 10",
        "recut: 00:02:05:12 long, clips per track: V1 30, A1 11, A2 2",
    ]
    history = lines[lines.index("history of recut") + 1:][:2]
    assert [line.split(maxsplit=2)[2] for line in history] == [
        "agent         Recut after the director's notes",
        "Ana (editor)  Assembly cut",
    ]
    start = lines.index("changes from main to recut") + 1
    assert lines[start:lines.index("", start)] == [
        "  V1  trimmed            maria_father     in 2210 -> 2210, 144 -> 110 frames",
        "  V1  replaced           storm_clouds     camera/A005_C001.mov -> renders/A005_C001_grade_v2.mov",
        "  V1  moved              lighthouse_dusk  position 17 -> 26, now after tomas_closing",
        "  V1  effects_changed    lighthouse_dusk  0 -> 1 effects",
        "  V1  removed            fish_scales      at position 11",
        "  V1  added              maria_pickup     at position 22",
        "  V1  transition_removed dawn_dissolve    between harbour_dawn and gulls_mast",
        "  V1  transition_added   home_dissolve    24 frames between lamps_on and boats_return",
        "  A1  trimmed            maria_father     in 2210 -> 2210, 144 -> 110 frames",
        "  A1  added              maria_pickup     at position 9",
        "  V2  track_removed                       video track",
        "  A2  track_added                         audio track",
    ]
    assert lines[-1] == ("main read back: 00:02:05:10 long, clips per track: V1 30, V2 2, A1 10"
                         " | same as committed: True")
    # A workdir given on the command line keeps the repository; a second run
    # there is refused rather than mixed into it.
    repo = tesmo.Repo.open(tmp_path / "edit")
    assert [name for name, _ in repo.list_branches()] == ["main", "recut"]
    again = run_workflow(str(tmp_path / "edit"))
    assert (again.returncode, again.stdout) == (1, "")
    assert again.stderr == f"tesmo: tesmo repository already exists at {tmp_path / 'edit' / '.tesmo'}\n"


def test_otio_workflow_without_opentimelineio():
    # None in sys.modules makes the import fail as if it were not installed.
    code = ("import runpy, sys; sys.modules['opentimelineio'] = None; "
            f"sys.argv = [{WORKFLOW!r}]; runpy.run_path({WORKFLOW!r}, run_name='__main__')")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "this example needs OpenTimelineIO: pip install opentimelineio\n"
