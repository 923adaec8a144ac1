"""The user's own git, run as a subprocess: the bridge's plumbing and the
transports. Whatever the user's git is set up to do (ssh keys and agents,
credential helpers, proxies, URL rewrites) it does here too.

Every call names the bridge repository explicitly and clears the variables
that would point git at another one (a hook's GIT_DIR, say). Messages are
read in the C locale, so that a failure can be told apart by its words.
"""

from __future__ import annotations

import os
import re
import selectors
import subprocess
import sys
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from .errors import CliError
from .terminal import shown

# Variables that redirect git to another repository or object store.
_REDIRECTS = ("GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
              "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE", "GIT_COMMON_DIR",
              "GIT_CEILING_DIRECTORIES", "GIT_QUARANTINE_PATH", "GIT_REPLACE_REF_BASE",
              "GIT_NO_REPLACE_OBJECTS", "GIT_SHALLOW_FILE", "GIT_GRAFT_FILE",
              "GIT_DEFAULT_HASH")


def environment() -> Dict[str, str]:
    env = {key: value for key, value in os.environ.items() if key not in _REDIRECTS}
    env["LC_ALL"] = "C"
    env["LANGUAGE"] = "C"
    # Replace refs would let a repository show other objects than it holds.
    env["GIT_NO_REPLACE_OBJECTS"] = "1"
    if not (sys.stdin is not None and sys.stdin.isatty()) and "GIT_TERMINAL_PROMPT" not in env:
        # Nobody is there to answer a password prompt: fail instead of
        # waiting. Credential helpers still run.
        env["GIT_TERMINAL_PROMPT"] = "0"
    return env


@dataclass
class Done:
    returncode: int
    stdout: bytes
    stderr: str


def _missing_git() -> CliError:
    return CliError("git is not installed (or not on PATH): remotes travel through git")


def run(git_dir: str, args: Sequence[str], input: Optional[bytes] = None,
        check: bool = True) -> Done:
    """Runs `git --git-dir=GIT_DIR ARGS` to the end and returns what it
    printed; a failure raises CliError with git's last line when check."""
    command = ["git", f"--git-dir={git_dir}", *args]
    try:
        finished = subprocess.run(command, input=input, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=environment())
    except FileNotFoundError:
        raise _missing_git() from None
    done = Done(finished.returncode, finished.stdout,
                finished.stderr.decode("utf-8", "backslashreplace"))
    if check and done.returncode != 0:
        raise CliError(f"git {args[0]} failed: {last_line(done.stderr)}")
    return done


def text(git_dir: str, args: Sequence[str], input: Optional[bytes] = None) -> str:
    return run(git_dir, args, input=input).stdout.decode("utf-8", "surrogateescape")


# The most of git's messages a transfer keeps: the end, where failures are.
_KEPT_MESSAGES = 64 * 1024


def transfer(git_dir: str, args: Sequence[str]) -> Done:
    """Runs a fetch or a push. On a terminal git's progress is shown as git
    draws it, and its messages are kept all the same for telling failures
    apart; elsewhere nothing is shown."""
    on_terminal = sys.stderr is not None and sys.stderr.isatty()
    command = ["git", f"--git-dir={git_dir}", args[0], *(["--progress"] if on_terminal else []),
               *args[1:]]
    try:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=environment())
    except FileNotFoundError:
        raise _missing_git() from None
    out: List[bytes] = []
    err: List[bytes] = []
    assert process.stdout is not None and process.stderr is not None
    # By descriptor: both pipes are read as data comes, so neither fills
    # while the other is waited on.
    streams: Dict[int, List[bytes]] = {process.stdout.fileno(): out, process.stderr.fileno(): err}
    progress = process.stderr.fileno()
    with selectors.DefaultSelector() as selector:
        for fd in streams:
            selector.register(fd, selectors.EVENT_READ)
        while streams:
            for key, _ in selector.select():
                fd = key.fd
                chunk = os.read(fd, 65536)
                if not chunk:
                    selector.unregister(fd)
                    del streams[fd]
                    continue
                kept = streams[fd]
                kept.append(chunk)
                if fd == progress:
                    if on_terminal:
                        _relay(chunk)
                    # Only the end of git's messages says what went wrong; a
                    # remote that talks without end must not fill memory.
                    while len(kept) > 1 and sum(map(len, kept)) > _KEPT_MESSAGES:
                        del kept[0]
    process.stdout.close()
    process.stderr.close()
    returncode = process.wait()
    return Done(returncode, b"".join(out), b"".join(err).decode("utf-8", "backslashreplace"))


def _relay(chunk: bytes) -> None:
    try:
        sys.stderr.buffer.write(chunk) if hasattr(sys.stderr, "buffer") else \
            sys.stderr.write(chunk.decode("utf-8", "replace"))
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def last_line(stderr: str) -> str:
    """The line of git's messages that says what went wrong: the last
    "fatal:" or "error:" line, else the last line."""
    lines = [line.strip() for line in stderr.replace("\r", "\n").split("\n") if line.strip()]
    for line in reversed(lines):
        for prefix in ("fatal: ", "error: "):
            if line.startswith(prefix):
                return line[len(prefix):]
    return lines[-1] if lines else "no message"


_NOT_A_REPOSITORY = ("does not appear to be a git repository", "not a git repository",
                     "repository not exported", "not found", "returned error: 404",
                     "no such repository")
_AUTHENTICATION = ("authentication failed", "permission denied", "could not read username",
                   "could not read password", "returned error: 401", "returned error: 403",
                   "terminal prompts disabled", "access denied", "host key verification failed")
_UNREACHABLE = ("could not resolve host", "connection refused", "unable to connect",
                "connection timed out", "no route to host", "failed to connect",
                "could not read from remote repository", "unable to access",
                "network is unreachable", "connection reset", "the remote end hung up",
                "couldn't connect", "unable to look up", "name or service not known")


def transport_failure(name: str, url: str, stderr: str) -> CliError:
    """The one-line error for a fetch or push that never reached the
    remote's refs: not a repository, refused credentials, or no way
    through; else git's own words."""
    lowered = stderr.lower()
    where = f"{name} ({shown(url)})" if name != url else shown(url)
    refused = re.search(r"^error: (object [0-9a-f]{40,64}: .*)$", stderr, re.M)
    if refused:
        # git's own checks refused an object as it arrived: name it.
        return CliError(f"{where} sent an object git refuses: {refused.group(1).strip()}; "
                        "nothing was imported")
    reason = last_line(stderr)
    if "access denied or repository not exported" in lowered or \
            any(word in lowered for word in _NOT_A_REPOSITORY[:2]):
        return CliError(f"{where} is not a git repository: {reason}")
    if any(word in lowered for word in _AUTHENTICATION):
        return CliError(f"authentication failed for {where}: {reason}")
    if any(word in lowered for word in _NOT_A_REPOSITORY[2:]):
        return CliError(f"{where} is not a git repository: {reason}")
    if any(word in lowered for word in _UNREACHABLE):
        return CliError(f"cannot reach {where}: {reason}")
    return CliError(f"{where}: {reason}")


_OBJECT_ID = re.compile(r"[0-9a-f]{40}")


class ObjectReader:
    """One `git cat-file --batch` for many reads: each object's type and
    bytes, refusing one larger than the limit before reading it."""

    def __init__(self, git_dir: str, limit: int) -> None:
        self.limit = limit
        try:
            self.process = subprocess.Popen(
                ["git", f"--git-dir={git_dir}", "cat-file", "--batch"], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment())
        except FileNotFoundError:
            raise _missing_git() from None

    def read(self, object_id: str) -> Tuple[str, bytes]:
        process = self.process
        assert process.stdin is not None and process.stdout is not None
        # Ids only: cat-file would take any revision expression.
        if not _OBJECT_ID.fullmatch(object_id):
            raise CliError(f"{shown(object_id)} is not a git object id")
        process.stdin.write(object_id.encode("ascii") + b"\n")
        process.stdin.flush()
        header = process.stdout.readline().decode("ascii", "replace").split()
        if len(header) != 3 or not header[2].isdigit():
            raise CliError(f"object {object_id} is missing from the git bridge")
        kind, size = header[1], int(header[2])
        if size > self.limit:
            raise CliError(f"git object {object_id} holds {size} bytes, more than the "
                           f"{self.limit} an object may hold")
        data = process.stdout.read(size)
        process.stdout.read(1)
        if len(data) != size:
            raise CliError(f"git object {object_id} could not be read whole")
        return kind, data

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        if self.process.stdout is not None:
            self.process.stdout.close()
        self.process.wait()

    def __enter__(self) -> "ObjectReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

