"""Remotes: a tesmo repository shared through any git host.

Remotes are kept in the bridge repository's git configuration
(``remote.NAME.url``, and ``remote.NAME.tesmoprefix`` for where the branches
live on the remote, ``refs/tesmo/heads/`` unless set). What a fetch last
saw of each remote branch is written as a one-line file under
``.tesmo/refs/remotes/NAME/BRANCH``, in the form of a branch file, so that
every command takes ``NAME/BRANCH`` as a ref.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import tesmo

from . import _engine
from . import git
from .bridge import INCOMING_REFS, LOCAL_REFS, TRACKING_REFS, Bridge, Refused
from .errors import CliError
from .terminal import shown

DEFAULT_PREFIX = "refs/tesmo/heads/"
TRACKING_DIR = os.path.join("refs", "remotes")
_REMOTE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")

PUSHED, REJECTED = 0, 1


@dataclass
class Remote:
    name: str
    url: str
    prefix: str


def short(commit_id: str) -> str:
    return commit_id.split(":", 1)[-1][:12]


def check_remote_name(name: str) -> None:
    if not _REMOTE_NAME.fullmatch(name) or name.endswith(".") or ".." in name \
            or name.endswith(".lock"):
        raise CliError(f"invalid remote name: {shown(name)} (letters, digits, '-', '_' and '.'; "
                       "no '/')")


def branch_prefix(prefix: Optional[str]) -> str:
    """The ref prefix for --branch-prefix P: the remote's branches as git
    branches, refs/heads/P<branch>, for hosts that take nothing else."""
    if prefix is None:
        return DEFAULT_PREFIX
    if prefix and (not prefix.endswith("/") or prefix.startswith("/") or "//" in prefix):
        raise CliError(f"--branch-prefix {shown(prefix)}: a prefix is empty or ends with '/' "
                       "(e.g. tesmo/)")
    if prefix:
        _engine.check_branch_name(prefix.rstrip("/"))
    return "refs/heads/" + prefix


def local_url(url: str, base: str) -> str:
    """A URL as git should keep it: a path on this machine made absolute,
    anything else (scheme://..., host:path) as given."""
    if "://" in url:
        return url
    colon, slash = url.find(":"), url.find("/")
    if colon > 0 and (slash < 0 or colon < slash) and not os.path.exists(os.path.join(base, url)):
        return url  # scp-like host:path
    return os.path.abspath(os.path.join(base, url))


# ----------------------------------------------------------------------------
# Configuration


def remotes(bridge: Bridge) -> Dict[str, Remote]:
    if not bridge.exists():
        return {}
    done = git.run(bridge.git_dir, ["config", "--null", "--get-regexp", r"^remote\..*\.(url|tesmoprefix)$"],
                   check=False)
    urls: Dict[str, str] = {}
    prefixes: Dict[str, str] = {}
    for entry in done.stdout.decode("utf-8", "surrogateescape").split("\0"):
        key, _, value = entry.partition("\n")
        if not key.startswith("remote."):
            continue
        name, _, field = key[len("remote."):].rpartition(".")
        (urls if field == "url" else prefixes)[name] = value
    return {name: Remote(name, url, prefixes.get(name, DEFAULT_PREFIX))
            for name, url in sorted(urls.items())}


def pick(bridge: Bridge, name: Optional[str]) -> Remote:
    """The remote NAME, else origin, else the only one."""
    known = remotes(bridge)
    if name is not None:
        if name not in known:
            raise CliError(f"no remote named {shown(name)} (tesmo remote add {shown(name)} URL)")
        return known[name]
    if "origin" in known:
        return known["origin"]
    if len(known) == 1:
        return next(iter(known.values()))
    if not known:
        raise CliError("this repository has no remotes yet (tesmo remote add NAME URL)")
    raise CliError(f"name a remote: {', '.join(known)}")


def add_remote(bridge: Bridge, name: str, url: str, prefix: str) -> Remote:
    check_remote_name(name)
    bridge.create()
    if name in remotes(bridge):
        raise CliError(f"remote {shown(name)} already exists")
    git.run(bridge.git_dir, ["config", f"remote.{name}.url", url])
    if prefix != DEFAULT_PREFIX:
        git.run(bridge.git_dir, ["config", f"remote.{name}.tesmoprefix", prefix])
    return Remote(name, url, prefix)


def remove_remote(repo: tesmo.Repo, bridge: Bridge, name: str) -> None:
    if name not in remotes(bridge):
        raise CliError(f"no remote named {shown(name)}")
    git.run(bridge.git_dir, ["config", "--remove-section", f"remote.{name}"])
    _set_bridge_refs(bridge, f"{TRACKING_REFS}{name}/", {})
    shutil.rmtree(os.path.join(str(repo.root), TRACKING_DIR, name), ignore_errors=True)


# ----------------------------------------------------------------------------
# Branch files: local branches, and what fetches saw


def _branch_files(directory: str) -> Dict[str, str]:
    """name -> id of every well-formed branch file under directory, names
    with '/' included; anything else there is passed over."""
    found: Dict[str, str] = {}
    for top, dirs, files in os.walk(directory):
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(top, d))]
        for file in files:
            path = os.path.join(top, file)
            name = os.path.relpath(path, directory).replace(os.sep, "/")
            try:
                _engine.check_branch_name(name)
                if not os.path.isfile(path) or os.path.getsize(path) > 4096:
                    continue
                with open(path, "rb") as handle:
                    text = handle.read().decode("ascii").strip()
            except (tesmo.TesmoError, OSError, UnicodeDecodeError):
                continue
            if re.fullmatch(r"sha256:[0-9a-f]{64}", text):
                found[name] = text
    return found


def local_branches(repo: tesmo.Repo) -> Dict[str, str]:
    return _branch_files(os.path.join(str(repo.root), "refs", "heads"))


def tracking(repo: tesmo.Repo, remote: str) -> Dict[str, str]:
    return _branch_files(os.path.join(str(repo.root), TRACKING_DIR, remote))


def tracked(repo: tesmo.Repo, ref: str) -> Optional[str]:
    """The id a fetch saw for REMOTE/BRANCH, when ref names one and no local
    branch has that name (a local branch comes first, as with git)."""
    remote, slash, branch = ref.partition("/")
    if not slash or not _REMOTE_NAME.fullmatch(remote):
        return None
    root = str(repo.root)
    if os.path.exists(os.path.join(root, "refs", "heads", *ref.split("/"))):
        return None
    try:
        _engine.check_branch_name(branch)
    except tesmo.TesmoError:
        return None
    return tracking_file(root, remote, branch)


def tracking_file(root: str, remote: str, branch: str) -> Optional[str]:
    path = os.path.join(root, TRACKING_DIR, remote, *branch.split("/"))
    try:
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as handle:
            text = handle.read(4096).decode("ascii").strip()
    except (OSError, UnicodeDecodeError):
        return None
    return text if re.fullmatch(r"sha256:[0-9a-f]{64}", text) else None


def _write_tracking(repo: tesmo.Repo, remote: str, branches: Dict[str, str],
                    keep_others: bool) -> None:
    """Writes what a fetch or push saw, each file through a rename; with
    keep_others False, the files of branches the remote no longer has go."""
    base = os.path.join(str(repo.root), TRACKING_DIR, remote)
    wanted = set(branches)
    for name in set(tracking(repo, remote)) - wanted:
        # A branch the remote no longer has, or one whose file or directory
        # is in the way of a wanted name (a/b where a is wanted).
        if keep_others and not any(name.startswith(w + "/") or w.startswith(name + "/")
                                   for w in wanted):
            continue
        try:
            os.remove(os.path.join(base, *name.split("/")))
        except OSError:
            pass
        _remove_empty_parents(base, name)
    for name, commit_id in branches.items():
        path = os.path.join(base, *name.split("/"))
        if os.path.isdir(path) and not os.path.islink(path):
            # Directories of branches removed above, now empty.
            for top, _, _ in sorted(os.walk(path), key=lambda entry: -len(entry[0])):
                try:
                    os.rmdir(top)
                except OSError:
                    pass
        os.makedirs(os.path.dirname(path), exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".")
        try:
            with os.fdopen(fd, "wb") as handle:
                handle.write(commit_id.encode("ascii") + b"\n")
            os.replace(temporary, path)
        except BaseException:
            try:
                os.remove(temporary)
            except OSError:
                pass
            raise


def _remove_empty_parents(base: str, name: str) -> None:
    parts = name.split("/")[:-1]
    while parts:
        try:
            os.rmdir(os.path.join(base, *parts))
        except OSError:
            return
        parts.pop()


def _bridge_refs(bridge: Bridge, prefix: str, field: str = "objectname") -> Dict[str, str]:
    """name -> the field (git's for-each-ref name: objectname, objecttype)
    of each bridge ref under prefix."""
    listed = git.text(bridge.git_dir, ["for-each-ref", f"--format=%({field}) %(refname)", prefix])
    found = {}
    for line in listed.splitlines():
        value, _, refname = line.partition(" ")
        if refname.startswith(prefix):
            found[refname[len(prefix):]] = value
    return found


def _set_bridge_refs(bridge: Bridge, prefix: str, wanted: Dict[str, str],
                     keep_others: bool = False) -> None:
    """The refs under prefix become wanted. Refs that go, and with
    keep_others those in the way of a wanted name (a branch a/b where a
    is wanted, or the other way round), are deleted first: git refuses to
    delete one and create the other in a single transaction."""
    present = _bridge_refs(bridge, prefix)

    def in_the_way(name: str) -> bool:
        return any(name != other and (other.startswith(name + "/") or name.startswith(other + "/"))
                   for other in wanted)

    going = [name for name in present
             if name not in wanted and (not keep_others or in_the_way(name))]
    if going:
        git.run(bridge.git_dir, ["update-ref", "--stdin"],
                input="".join(f"delete {prefix}{name}\n" for name in going).encode())
    commands = [f"update {prefix}{name} {git_id}\n" for name, git_id in wanted.items()
                if present.get(name) != git_id]
    if commands:
        git.run(bridge.git_dir, ["update-ref", "--stdin"], input="".join(commands).encode())


# ----------------------------------------------------------------------------
# Fetch


Update = Tuple[str, Optional[str], Optional[str]]  # branch, old id, new id


def fetch(repo: tesmo.Repo, bridge: Bridge, remote: Remote,
          warn: Optional[Callable[[str], None]] = None) -> List[Update]:
    with bridge.locked():
        return _fetch(repo, bridge, remote, warn)


def _fetch(repo: tesmo.Repo, bridge: Bridge, remote: Remote,
           warn: Optional[Callable[[str], None]]) -> List[Update]:
    """Brings the remote's branches in: the git objects into the bridge,
    then every new commit verified and imported, then the remote-tracking
    refs. A refused commit leaves the store and every ref as they were."""
    incoming = f"{INCOMING_REFS}{remote.name}/"
    _set_bridge_refs(bridge, incoming, {})
    done = git.transfer(bridge.git_dir, [
        "fetch", "--no-tags", "--no-write-fetch-head", "--no-auto-gc", remote.name,
        f"+{remote.prefix}*:{incoming}*"])
    try:
        if done.returncode != 0:
            raise git.transport_failure(remote.name, remote.url, done.stderr)
        fetched = _bridge_refs(bridge, incoming)
        for name, kind in _bridge_refs(bridge, incoming, "objecttype").items():
            # A tesmo branch names a commit; git would peel a tag to the
            # commit behind it, which tesmo never pushed as the branch.
            if kind != "commit":
                raise Refused(f"{remote.name}: branch {shown(name)} points at a {kind} "
                              f"({fetched[name]}), not a commit; nothing was imported")
        tips: Dict[str, str] = {}
        for name, git_id in sorted(fetched.items()):
            try:
                _engine.check_branch_name(name)
            except tesmo.TesmoError:
                if warn is not None:
                    warn(f"{remote.name}: skipped the branch {shown(name)}: "
                         "not a name a tesmo branch can have")
                continue
            tips[name] = git_id
        ids = bridge.import_history(sorted(set(tips.values())), remote.name)
    finally:
        _set_bridge_refs(bridge, incoming, {})
    seen = {name: ids[git_id] for name, git_id in tips.items()}
    before = tracking(repo, remote.name)
    _set_bridge_refs(bridge, f"{TRACKING_REFS}{remote.name}/", tips)
    _write_tracking(repo, remote.name, seen, keep_others=False)
    updates: List[Update] = []
    for name in sorted(set(before) | set(seen)):
        if before.get(name) != seen.get(name):
            updates.append((name, before.get(name), seen.get(name)))
    return updates


def update_line(remote: str, update: Update) -> str:
    name, old, new = update
    if new is None:
        return f"{remote}/{name}: deleted (was {short(old or '')})"
    if old is None:
        return f"{remote}/{name}: new branch at {short(new)}"
    return f"{remote}/{name}: {short(old)}..{short(new)}"


# ----------------------------------------------------------------------------
# Push


@dataclass
class Pushed:
    status: int
    lines: List[str]


def push(repo: tesmo.Repo, bridge: Bridge, remote: Remote, branches: Sequence[str],
         lease: bool) -> Pushed:
    with bridge.locked():
        return _push(repo, bridge, remote, branches, lease)


def _push(repo: tesmo.Repo, bridge: Bridge, remote: Remote, branches: Sequence[str],
          lease: bool) -> Pushed:
    """Exports the branches and pushes them in one atomic push: all move,
    or none. Never forced, except with lease: then each remote branch may
    be replaced only while it is where the last fetch saw it."""
    local = local_branches(repo)
    for name in branches:
        if name not in local:
            raise CliError(f"branch {shown(name)} has no commits to push")
    git_ids = bridge.export([local[name] for name in branches])
    wanted = {name: git_ids[local[name]] for name in branches}
    # The exported tips stay reachable in the bridge.
    _set_bridge_refs(bridge, LOCAL_REFS, wanted, keep_others=True)
    args = ["push", "--atomic", "--porcelain", "--no-verify"]
    if lease:
        seen = _bridge_refs(bridge, f"{TRACKING_REFS}{remote.name}/")
        args += [f"--force-with-lease={remote.prefix}{name}:{seen.get(name, '')}"
                 for name in branches]
    args.append(remote.name)
    args += [f"{wanted[name]}:{remote.prefix}{name}" for name in branches]
    done = git.transfer(bridge.git_dir, args)
    results = _porcelain(done.stdout.decode("utf-8", "replace"), remote.prefix)
    if done.returncode == 0 and results:
        _set_bridge_refs(bridge, f"{TRACKING_REFS}{remote.name}/", wanted, keep_others=True)
        _write_tracking(repo, remote.name, {name: local[name] for name in branches},
                        keep_others=True)
        lines = []
        for name in branches:
            flag, summary = results.get(name, ("", ""))
            if flag == "=":
                lines.append(f"{remote.name}/{name}: already up to date")
            elif flag == "*":
                lines.append(f"{remote.name}/{name}: new branch at {short(local[name])}")
            else:
                forced = " (forced)" if flag == "+" else ""
                lines.append(f"{remote.name}/{name}: now at {short(local[name])}{forced}")
        return Pushed(PUSHED, lines)
    rejected = {name: summary for name, (flag, summary) in results.items() if flag == "!"}
    if not rejected:
        raise git.transport_failure(remote.name, remote.url, done.stderr)
    moved = "but expected" in done.stderr
    lines = []
    for name in branches:
        if name not in rejected:
            continue
        summary = rejected[name]
        if "stale info" in summary:
            lines.append(f"{remote.name}/{name} moved since the last fetch, so "
                         "--force-with-lease did not replace it; fetch and look first")
        elif "atomic push failed" in summary:
            continue  # refused only because another branch of the push was
        elif "non-fast-forward" in summary or "fetch first" in summary or \
                (summary.startswith("[remote rejected]") and moved):
            # Behind the remote; or the remote's branch moved between git
            # reading it and the update, when another push won the race.
            lines.append(f"{remote.name}/{name} has commits that {name} does not have; "
                         f"run `tesmo pull {remote.name} {name}`, then push again")
        else:
            why = _remote_error(done.stderr)
            lines.append(f"{remote.name}/{name} refused the push: {summary}"
                         + (f": {why}" if why else ""))
    if not lines:
        lines.append("the push was refused: " + "; ".join(sorted(set(rejected.values()))))
    lines.append("nothing was pushed")
    return Pushed(REJECTED, lines)


def _remote_error(stderr: str) -> str:
    """The remote's own words on why it refused, when it gave any."""
    for line in stderr.replace("\r", "\n").split("\n"):
        line = line.strip()
        for prefix in ("remote: error: ", "error: "):
            if line.startswith(prefix) and "failed to push" not in line:
                return line[len(prefix):]
    return ""


def _porcelain(text: str, prefix: str) -> Dict[str, Tuple[str, str]]:
    """branch -> (flag, summary) from `git push --porcelain`."""
    results = {}
    for line in text.splitlines():
        parts = line.split("\t")
        if len(parts) < 3 or len(parts[0]) != 1:
            continue
        destination = parts[1].rpartition(":")[2]
        if destination.startswith(prefix):
            results[destination[len(prefix):]] = (parts[0], parts[2])
    return results


def default_directory(url: str) -> str:
    tail = url.rstrip("/").replace("\\", "/").rsplit("/", 1)[-1].rsplit(":", 1)[-1]
    for suffix in (".git", ".tesmo"):
        if tail.endswith(suffix) and len(tail) > len(suffix):
            tail = tail[:-len(suffix)]
    if not tail or tail in (".", ".."):
        raise CliError(f"cannot tell a directory name from {shown(url)}: name one")
    return tail


def clone_into(target: str, url: str, prefix: str) -> Tuple[tesmo.Repo, List[Update], str]:
    """A new repository at target holding the remote's branches, on its
    main (or its only branch); returns the repository, what was fetched and
    the branch checked out. On failure, whatever was made is removed."""
    created = not os.path.exists(target)
    if not created and (not os.path.isdir(target) or os.listdir(target)):
        raise CliError(f"{shown(target)} already exists and is not an empty directory")
    made = os.path.join(target, ".tesmo")
    try:
        repo = tesmo.Repo.init(target)
        bridge = Bridge(repo)
        remote = add_remote(bridge, "origin", url, prefix)
        updates = fetch(repo, bridge, remote)
        seen = tracking(repo, "origin")
        for name, commit_id in sorted(seen.items()):
            repo.create_branch(name, commit_id)
        branch = "main"
        if "main" not in seen and len(seen) == 1:
            branch = next(iter(seen))
            repo.switch_branch(branch)
        return repo, updates, branch
    except BaseException:
        shutil.rmtree(target if created else made, ignore_errors=True)
        raise

