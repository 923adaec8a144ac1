"""A deadline for every test: a test that runs past it (a hang in Python or
in the extension, which holds the interpreter lock) ends the whole run with
faulthandler's traceback of every thread, instead of growing without bound.
The watchdog is faulthandler's own thread, which needs no interpreter lock.

TESMO_TEST_TIMEOUT sets the deadline in seconds (default 300)."""

import faulthandler
import os

import pytest

_stderr = None


def pytest_configure(config):
    # Taken before pytest captures the output of each test, so that the
    # traceback reaches the terminal or the CI log.
    global _stderr
    _stderr = os.fdopen(os.dup(2), "w")


@pytest.fixture(autouse=True)
def _deadline():
    seconds = float(os.environ.get("TESMO_TEST_TIMEOUT", "300"))
    faulthandler.dump_traceback_later(seconds, exit=True, file=_stderr)
    yield
    faulthandler.cancel_dump_traceback_later()
