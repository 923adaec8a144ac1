"""Fetches the sample files that OpenTimelineIO and its adapter plugins ship
with their tests, for measuring the comparison engine on real exports.

The files are third-party data: they are never committed. They come from the
packages' source distributions on PyPI (wheels leave the tests out), through
pip, and are unpacked into a cache directory outside the tracked tree:

    python scripts/fetch_corpus.py               # into $TESMO_CORPUS or build/corpus
    python scripts/fetch_corpus.py --dest DIR
    python scripts/fetch_corpus.py --list        # what the cache holds

For each package the version installed in this interpreter is fetched when
there is one, so that the samples match the adapter reading them; otherwise
the newest. The cache holds one folder per package and `manifest.json`, which
names every sample with its format and package; a later run with the same
versions does nothing.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from importlib import metadata
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
MANIFEST = "manifest.json"
LAYOUT = 1  # bumped when the cache's layout changes

# (distribution on PyPI, the format its samples are in, the sample extensions
# kept). Only files under the distribution's tests/sample_data are taken.
PACKAGES: List[Tuple[str, str, Tuple[str, ...]]] = [
    ("opentimelineio", "otio", (".otio",)),
    ("otio-cmx3600-adapter", "edl", (".edl",)),
    ("otio-fcp-adapter", "fcp_xml", (".xml",)),
    ("otio-fcpx-xml-adapter", "fcpx_xml", (".fcpxml",)),
    ("otio-aaf-adapter", "aaf", (".aaf",)),
    ("otio-ale-adapter", "ale", (".ale",)),
]


class FetchError(RuntimeError):
    """The corpus could not be fetched (no network, no such package...)."""


def default_dest() -> Path:
    env = os.environ.get("TESMO_CORPUS")
    return Path(env) if env else ROOT / "build" / "corpus"


def installed_version(dist: str) -> Optional[str]:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def download_sdist(dist: str, version: Optional[str], into: Path, timeout: float) -> Path:
    """The source distribution of `dist`, downloaded by pip into `into`.
    Build requirements come as wheels: only the package itself is a source."""
    wanted = f"{dist}=={version}" if version else dist
    normalized = dist.replace("-", "_").lower()
    command = [sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
               "--no-deps", "--no-binary", dist, "--dest", str(into),
               "--timeout", "30", "--retries", "1", wanted]  # no network: fail in a minute
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as e:
        raise FetchError(f"pip download {wanted} took more than {timeout:.0f} s") from e
    found = [p for p in into.iterdir()
             if p.name.lower().replace("-", "_").startswith(normalized + "_")
             and p.name.endswith((".tar.gz", ".zip"))]
    if done.returncode != 0 or len(found) != 1:
        lines = [line for line in done.stderr.splitlines() if not line.startswith("WARNING")]
        raise FetchError(f"pip download {wanted} failed: " + " / ".join(lines[-3:]))
    return found[0]


def sample_members(archive: tarfile.TarFile, extensions: Sequence[str]) -> List[tarfile.TarInfo]:
    """Regular files directly under <top>/tests/sample_data with a kept
    extension; nothing with an absolute path or a parent step."""
    out = []
    for member in archive.getmembers():
        parts = member.name.split("/")
        if (member.isfile() and len(parts) == 4 and parts[1:3] == ["tests", "sample_data"]
                and parts[3].lower().endswith(tuple(extensions))
                and not member.name.startswith("/") and ".." not in parts):
            out.append(member)
    return sorted(out, key=lambda m: m.name)


def unpack(sdist: Path, extensions: Sequence[str], folder: Path) -> List[str]:
    if not sdist.name.endswith(".tar.gz"):
        raise FetchError(f"{sdist.name}: not a .tar.gz source distribution")
    folder.mkdir(parents=True, exist_ok=True)
    names = []
    with tarfile.open(sdist, "r:gz") as archive:
        for member in sample_members(archive, extensions):
            source = archive.extractfile(member)
            if source is None:
                continue
            name = member.name.split("/")[-1]
            with source, open(folder / name, "wb") as out:
                shutil.copyfileobj(source, out)
            names.append(name)
    if not names:
        raise FetchError(f"{sdist.name} holds no sample files")
    return names


def read_manifest(dest: Path) -> Optional[Dict[str, object]]:
    try:
        value = json.loads((dest / MANIFEST).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) and value.get("layout") == LAYOUT else None


def fetch(dest: Optional[Path] = None, timeout: float = 300.0, quiet: bool = True) -> Path:
    """Makes sure `dest` holds every package's samples; returns `dest`.
    Raises FetchError when a package cannot be had."""
    dest = Path(dest) if dest is not None else default_dest()
    old = read_manifest(dest) or {}
    old_packages = old.get("packages", {})
    assert isinstance(old_packages, dict)
    packages: Dict[str, object] = {}
    files: List[Dict[str, str]] = []
    with tempfile.TemporaryDirectory(prefix="tesmo-corpus-") as tmp:
        for dist, fmt, extensions in PACKAGES:
            wanted = installed_version(dist)
            have = old_packages.get(dist)
            entry: Any
            folder = dest / dist
            if isinstance(have, dict) and (wanted is None or have.get("version") == wanted) \
                    and all((folder / n).is_file() for n in have.get("files", [])):
                entry = have
            else:
                if not quiet:
                    print(f"fetching {dist} {wanted or '(newest)'}", file=sys.stderr)
                sdist = download_sdist(dist, wanted, Path(tmp), timeout)
                if folder.exists():
                    shutil.rmtree(folder)
                names = unpack(sdist, extensions, folder)
                version = sdist.name[len(dist) + 1:].rsplit(".tar.gz", 1)[0]
                entry = {"version": version, "format": fmt, "sdist": sdist.name, "files": names}
            packages[dist] = entry
            for name in entry["files"]:
                data = (folder / name).read_bytes()
                files.append({"path": f"{dist}/{name}", "package": dist, "format": fmt,
                              "sha256": hashlib.sha256(data).hexdigest()})
    dest.mkdir(parents=True, exist_ok=True)
    text = json.dumps({"layout": LAYOUT, "packages": packages, "files": files}, indent=1)
    (dest / MANIFEST).write_text(text + "\n", encoding="utf-8")
    return dest


def samples(dest: Path) -> List[Dict[str, str]]:
    """The manifest's samples: path (relative to dest), package, format, sha256."""
    manifest = read_manifest(dest)
    if manifest is None:
        raise FetchError(f"{dest} holds no corpus: run scripts/fetch_corpus.py")
    files = manifest["files"]
    assert isinstance(files, list)
    return files


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--dest", type=Path, help="cache directory (default: $TESMO_CORPUS "
                        "or build/corpus in the source tree)")
    parser.add_argument("--list", action="store_true", help="list the cached samples only")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per download")
    args = parser.parse_args(argv)
    dest = args.dest or default_dest()
    try:
        if not args.list:
            fetch(dest, args.timeout, quiet=False)
        found = samples(dest)
    except FetchError as e:
        print(f"fetch_corpus: {e}", file=sys.stderr)
        return 1
    counts: Dict[str, int] = {}
    for entry in found:
        counts[entry["format"]] = counts.get(entry["format"], 0) + 1
        if args.list:
            print(f"{entry['format']:<9} {entry['path']}")
    print(f"{len(found)} samples in {dest}: "
          + ", ".join(f"{n} {fmt}" for fmt, n in counts.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
