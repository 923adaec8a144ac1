"""The tesmo command; ``python -m tesmo_cli`` runs the same thing."""

from __future__ import annotations

import os
import sys
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command and return its exit status: 0, 1 (diff found
    changes), 2 (trouble, one line on stderr) or 130 (interrupted)."""
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
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as error:  # the last resort: one line, never a traceback
        if os.environ.get("TESMO_TRACEBACK"):
            raise
        text = " ".join(str(error).split())
        sys.stderr.write(f"tesmo: internal error: {type(error).__name__}: {text}\n")
        return 2


if __name__ == "__main__":
    sys.exit(main())
