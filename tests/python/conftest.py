import gzip
import hashlib
import json

import pytest

import tesmo

# Every test runs under a deadline (see deadline.py).
pytest_plugins = ["deadline"]


def pytest_collection_modifyitems(session, config, items):
    """When the test of the lock's real 30 s limit is collected, its writer
    starts now, so that the rest of the suite runs during the wait."""
    if any(item.name == "test_a_write_gives_up_after_a_bounded_wait" for item in items):
        import tempfile

        from lock_support import FullWait

        config.tesmo_full_wait_dir = tempfile.mkdtemp(prefix="tesmo-lock-")
        started = FullWait(config.tesmo_full_wait_dir)
        config.tesmo_full_wait = (started.repo, started.writer, started.before)
        config.tesmo_full_wait_stop = started.stop


def pytest_sessionfinish(session, exitstatus):
    stop = getattr(session.config, "tesmo_full_wait_stop", None)
    if stop is not None:
        import shutil

        stop()
        shutil.rmtree(session.config.tesmo_full_wait_dir, ignore_errors=True)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty directory that is also the current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def repo(workdir):
    return tesmo.Repo.init(workdir)


class ObjectStore:
    """Object files of a repository, read and crafted by hand.

    An object file is the gzip of a value's canonical text, stored at
    objects/<first 2 hex digits>/<other 62>. For values without floats the
    canonical text is what json.dumps writes with sorted keys, no white space
    and raw non-ASCII text.
    """

    def __init__(self, root):
        self.dir = root / "objects"

    @staticmethod
    def text(value):
        return json.dumps(value, sort_keys=True, separators=(",", ":"),
                          ensure_ascii=False).encode()

    @staticmethod
    def id_of_text(text):
        return "sha256:" + hashlib.sha256(text).hexdigest()

    def id_of(self, value):
        return self.id_of_text(self.text(value))

    def path(self, object_id):
        body = object_id[len("sha256:"):]
        return self.dir / body[:2] / body[2:]

    def put(self, value, object_id=None):
        """Store value under its own id, or under object_id if given."""
        object_id = object_id or self.id_of(value)
        path = self.path(object_id)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(gzip.compress(self.text(value)))
        return object_id

    def files(self):
        return sorted(str(p.relative_to(self.dir)) for p in self.dir.rglob("*") if p.is_file())


@pytest.fixture
def objects(repo):
    return ObjectStore(repo.root)
