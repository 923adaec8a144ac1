"""What reaches the terminal: text from timelines and repositories shown so
that it cannot drive the terminal, and progress shown only to a person.

Clip names, media URLs, authors, messages and file names come from other
people's files. Written raw, an escape sequence in one clears the screen,
retitles the window or hides text, and a bidirectional override reorders
what follows it. Such characters are shown escaped, the way git quotes
paths: ``\\n``, ``\\t``, ``\\x1b``, ``\\u202e``.
"""

from __future__ import annotations

import sys
import time
from typing import Dict, Optional, TextIO

# Controls that have a short escape of their own.
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\\": "\\\\"}

# Marks that reorder or hide the text around them: the bidirectional
# embeddings, overrides and isolates, the directional marks, and the
# invisible separators.
_INVISIBLE = set(range(0x202A, 0x202F)) | set(range(0x2066, 0x206A)) | {
    0x200E, 0x200F, 0x061C, 0x2028, 0x2029, 0xFEFF}


def _escape(char: str) -> str:
    if char in _NAMED:
        return _NAMED[char]
    code = ord(char)
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}"


_TABLE: Dict[int, str] = {}
for _code in list(range(0x20)) + list(range(0x7F, 0xA0)) + sorted(_INVISIBLE):
    _TABLE[_code] = _escape(chr(_code))


def shown(text: object) -> str:
    """The text with control and direction-changing characters escaped, so
    that it prints as one line of inert characters. A backslash is doubled
    only when something else in the text needed escaping, so ordinary
    Windows paths read as they are."""
    value = str(text)
    escaped = value.translate(_TABLE | {ord("\\"): "\\"})
    if escaped == value:
        return value
    return value.translate(_TABLE | {ord("\\"): "\\\\"})


def surrogate_safe(text: str) -> str:
    """Text that any stream can encode: lone surrogates (from undecodable
    file names) become their escapes."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


class Progress:
    """A progress bar on stderr, only when stderr is a terminal: a count of
    done steps over a total, redrawn at most ten times a second (and once
    more when all are done), erased at the end."""

    def __init__(self, label: str, total: Optional[int] = None, unit: str = "",
                 stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.label = label
        self.total = total
        self.unit = f" {unit}" if unit else ""
        self.on = bool(self.stream is not None and _isatty(self.stream))
        self.drawn_at = 0.0
        self.visible = False

    def update(self, done: int) -> None:
        if not self.on:
            return
        now = time.monotonic()
        if now - self.drawn_at < 0.1 and done != self.total:
            return
        self.drawn_at = now
        if self.total:
            width = 24
            filled = min(width, width * done // self.total)
            bar = "#" * filled + "-" * (width - filled)
            line = f"{self.label} [{bar}] {done}/{self.total}{self.unit}"
        else:
            line = f"{self.label}: {done}{self.unit}"
        self._write("\r" + line + "\x1b[K")
        self.visible = True

    def close(self) -> None:
        if self.visible:
            self._write("\r\x1b[K")
            self.visible = False

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self.on = False


def status(text: str, stream: Optional[TextIO] = None) -> "Status":
    """A one-line note on a terminal's stderr for a single long step (reading
    a file through a slow adapter), erased when the step ends."""
    return Status(text, stream)


class Status:
    def __init__(self, text: str, stream: Optional[TextIO]) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.on = bool(self.stream is not None and _isatty(self.stream))
        self.text = text

    def __enter__(self) -> "Status":
        if self.on:
            try:
                self.stream.write(self.text + "\x1b[K")
                self.stream.flush()
            except (OSError, ValueError):
                self.on = False
        return self

    def __exit__(self, *exc: object) -> None:
        if self.on:
            try:
                self.stream.write("\r\x1b[K")
                self.stream.flush()
            except (OSError, ValueError):
                pass


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False
