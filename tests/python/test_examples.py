"""The examples run as a new user would run them, and say what they should."""

import subprocess
import sys
from pathlib import Path

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
