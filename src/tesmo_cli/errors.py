"""The one exception the command raises for a failure it explains itself."""

from __future__ import annotations


class CliError(Exception):
    """A failure reported as one line, ``tesmo: <message>``, with exit status 2."""
