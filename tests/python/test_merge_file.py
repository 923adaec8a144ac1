"""tesmo merge-file as the merge driver of a real git repository that keeps
.otio files: `git merge` of two branches that each recut the timeline."""

import copy
import json
import os
import shlex
import shutil
import subprocess

import pytest

from cli_support import run, tesmo_command
from otio_support import clip, timeline, track

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")

BASE = timeline(track("V1", *[clip(name, f"/media/{name}.mov", start=100, duration=48) for name in "abcdef"]),
                track("A1", clip("music", "/media/music.wav", duration=288), kind="Audio"))


def git(*args, cwd, check=True):
    # The user's own settings stay out: HOME is the test's directory.
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@localhost", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@localhost", HOME=str(cwd), GIT_CONFIG_NOSYSTEM="1")
    result = subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True, timeout=60, env=env)
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def write(path, document):
    path.write_text(json.dumps(document, indent=4) + "\n")


def trimmed(document, index, frames):
    changed = copy.deepcopy(document)
    changed["tracks"]["children"][0]["children"][index]["source_range"]["duration"]["value"] = frames
    return changed


def removed(document, index):
    changed = copy.deepcopy(document)
    del changed["tracks"]["children"][0]["children"][index]
    return changed


@pytest.fixture
def repo(tmp_path):
    git("init", "-q", "-b", "main", cwd=tmp_path)
    driver = shlex.join(tesmo_command()) + " merge-file %O %A %B"
    git("config", "merge.tesmo.driver", driver, cwd=tmp_path)
    (tmp_path / ".gitattributes").write_text("*.otio merge=tesmo\n")
    write(tmp_path / "cut.otio", BASE)
    git("add", ".", cwd=tmp_path)
    git("commit", "-q", "-m", "assembly", cwd=tmp_path)
    return tmp_path


def branches(repo, ours, theirs):
    git("checkout", "-q", "-b", "recut", cwd=repo)
    write(repo / "cut.otio", theirs)
    git("commit", "-q", "-am", "theirs", cwd=repo)
    git("checkout", "-q", "main", cwd=repo)
    write(repo / "cut.otio", ours)
    git("commit", "-q", "-am", "ours", cwd=repo)


def test_git_merges_two_recuts_clip_by_clip(repo):
    ours, theirs = trimmed(BASE, 1, 40), removed(BASE, 2)
    branches(repo, ours, theirs)
    result = git("merge", "-q", "-m", "merge recut", "recut", cwd=repo, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    merged = json.loads((repo / "cut.otio").read_text())
    assert merged == removed(trimmed(BASE, 1, 40), 2)
    parents = git("log", "-1", "--format=%P", cwd=repo).stdout.split()
    assert len(parents) == 2


def test_git_stops_on_a_conflict_with_ours_and_a_marker(repo):
    ours, theirs = trimmed(BASE, 3, 40), trimmed(BASE, 3, 30)
    branches(repo, ours, theirs)
    result = git("merge", "-q", "recut", cwd=repo, check=False)
    assert result.returncode != 0
    assert "cut.otio" in git("diff", "--name-only", "--diff-filter=U", cwd=repo).stdout
    merged = json.loads((repo / "cut.otio").read_text())
    clip_ = merged["tracks"]["children"][0]["children"][3]
    assert clip_["source_range"]["duration"]["value"] == 40
    assert [m["name"] for m in clip_["markers"]] == ["merge conflict: trim"]


@pytest.mark.parametrize("theirs, status", [(removed(BASE, 4), 0), (trimmed(BASE, 0, 24), 0),
                                            (trimmed(BASE, 5, 12), 1)])
def test_the_driver_contract(tmp_path, theirs, status):
    ours = trimmed(BASE, 5, 20)
    for name, document in (("base", BASE), ("ours", ours), ("theirs", theirs)):
        write(tmp_path / name, document)
    result = run("merge-file", "base", "ours", "theirs", cwd=tmp_path)
    assert result.returncode == status, result.stderr
    merged = json.loads((tmp_path / "ours").read_text())
    if status == 0:
        expected = copy.deepcopy(theirs)
        expected["tracks"]["children"][0]["children"][5 if len(theirs["tracks"]["children"][0]["children"]) == 6
                                                      else 4]["source_range"]["duration"]["value"] = 20
        assert merged == expected
    else:
        assert "conflict on V1" in result.stderr


def test_a_file_that_is_not_otio_json_is_an_error(tmp_path):
    write(tmp_path / "base", BASE)
    write(tmp_path / "ours", BASE)
    (tmp_path / "theirs").write_text("not json")
    result = run("merge-file", "base", "ours", "theirs", cwd=tmp_path)
    assert result.returncode == 2
    assert json.loads((tmp_path / "ours").read_text()) == BASE
