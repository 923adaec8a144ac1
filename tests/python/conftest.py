import pytest

import tesmo


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty directory that is also the current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def repo(workdir):
    return tesmo.Repo.init(workdir)
