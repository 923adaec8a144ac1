"""Running the installed tesmo command, and the files it works on."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

from otio_support import clip


def tesmo_command():
    """The console script next to this interpreter, else python -m tesmo_cli."""
    script = Path(sys.executable).parent / "tesmo"
    if script.exists():
        return [str(script)]
    found = shutil.which("tesmo")
    if found and Path(found).parent == Path(sys.executable).parent:
        return [found]
    return [sys.executable, "-m", "tesmo_cli"]


def run(*args, cwd, env=None, check_status=None):
    """Run tesmo with args in cwd; returns the CompletedProcess (text)."""
    environment = dict(os.environ)
    environment.pop("NO_COLOR", None)
    environment.update(env or {})
    result = subprocess.run(tesmo_command() + [str(a) for a in args], cwd=cwd,
                            env=environment, capture_output=True, text=True, timeout=120)
    if check_status is not None:
        assert result.returncode == check_status, (result.returncode, result.stdout, result.stderr)
    return result


def one_error_line(result):
    """Assert the failure shape every command shares; return the message."""
    assert result.returncode == 2, (result.stdout, result.stderr)
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tesmo: "), result.stderr
    return lines[0][len("tesmo: "):]


def snapshot(directory):
    """Every file and directory under a path, with file contents."""
    return {str(p.relative_to(directory)): (p.read_bytes() if p.is_file() else None)
            for p in sorted(Path(directory).rglob("*"))}


def write_json(path, value):
    Path(path).write_text(json.dumps(value))
    return path


def frames_clip(name, frames, media=None, effects=0):
    """A clip as the command's tests write them: a length in frames at 24
    fps, from the start of media named after the clip unless given."""
    return clip(name, media or f"{name}.mov", duration=frames, effects=effects)


# What an adapter keeps in a clip's metadata about the file it read: the FCP
# XML adapter's clip ids (renumbered on every export) and the EDL adapter's
# reel names and comments. Two exports of one cut can differ there alone.
ADAPTER_METADATA = {"cmx_3600", "fcp_xml"}


def edits(records):
    """The records of a diff but for changes to adapter metadata only."""
    return [r for r in records
            if not (r["op"] == "metadata_changed" and set(r["keys"]) <= ADAPTER_METADATA)]


def diff_records(*args, cwd, status=None):
    """The records `tesmo diff ARGS --json` prints, checking its schema."""
    result = run("diff", *args, "--json", cwd=cwd, check_status=status)
    printed = json.loads(result.stdout)
    assert printed["schema"] == "tesmo.changes/1" and list(printed) == ["schema", "changes"]
    return printed["changes"]
