"""The tesmo command; ``python -m tesmo_cli`` runs the same thing."""

from __future__ import annotations

import os
import sys
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command and return its exit status: 0, 1 (diff found
    changes), 2 (trouble, one line on stderr) or 130 (interrupted)."""
    if sys.stdout is None:
        # Started with stdout closed: what would be printed cannot be, and
        # each command says so as it would for any failed write.
        sys.stdout = _Closed()
    try:
        from .cli import run
        from .files import escape_unencodable_output

        escape_unencodable_output()
        return run(argv)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (tesmo log | head): stop quietly, and keep
        # the interpreter from complaining when it flushes stdout at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
    except Exception as error:  # the last resort: one line, never a traceback
        if os.environ.get("TESMO_TRACEBACK"):
            raise
        text = " ".join(str(error).split())
        try:
            sys.stderr.write(f"tesmo: internal error: {type(error).__name__}: {text}\n")
        except (AttributeError, OSError, ValueError):
            pass
        return 2


class _Closed:
    """Stands for a closed stdout: every write fails as one to a closed
    descriptor would."""

    def write(self, text: str) -> int:
        raise OSError(9, "stdout is closed")

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def fileno(self) -> int:
        raise OSError(9, "stdout is closed")


if __name__ == "__main__":
    sys.exit(main())
