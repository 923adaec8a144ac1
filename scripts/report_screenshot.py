"""Regenerates docs/report.png: the change report between the two versions
of the workflow example (examples/otio_workflow.py), as headless Chromium
draws it in a 1440x900 window.

    PYTHONPATH=src python scripts/report_screenshot.py [OUT.png]

Needs the tesmo module, OpenTimelineIO and Chromium.
"""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from tesmo_cli.report import render_report

ROOT = Path(__file__).resolve().parents[1]


def workflow_versions() -> tuple[object, object]:
    """The assembly cut and the recut, built by the example's own functions."""
    spec = importlib.util.spec_from_file_location("otio_workflow", ROOT / "examples" / "otio_workflow.py")
    assert spec is not None and spec.loader is not None
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    cut = example.assembly_cut()
    before = example.as_value(cut)
    example.recut(cut)
    return before, example.as_value(cut)


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "report.png"
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("report_screenshot: no chromium on PATH")
    before, after = workflow_versions()
    page = render_report(before, after, before_label="main", after_label="recut",
                         title="Harbour Lights: assembly cut \u2192 recut")
    out.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "report.html"
        path.write_text(page, encoding="utf-8")
        subprocess.run([browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        "--hide-scrollbars", f"--user-data-dir={tmp}/profile",
                        "--window-size=1440,900", f"--screenshot={out.resolve()}", path.as_uri()],
                       check=True, capture_output=True, timeout=120)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
