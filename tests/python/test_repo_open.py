"""Creating, finding and describing repositories."""

import os
import pathlib

import pytest

import tesmo

Repo = tesmo.Repo
NOT_IN_REPO = ("not in a tesmo repository (run `tesmo init` first)",)


def entries(path):
    return sorted(p.name for p in pathlib.Path(path).iterdir())


class TestInit:
    def test_creates_layout_in_missing_workdir(self, workdir):
        repo = Repo.init(workdir / "a" / "b")
        root = workdir / "a" / "b" / ".tesmo"
        assert repo.root == root
        assert entries(root) == ["HEAD", "objects", "refs"]
        assert entries(root / "refs") == ["heads"]
        assert entries(root / "refs" / "heads") == []
        assert entries(root / "objects") == []
        assert (root / "HEAD").read_bytes() == b"ref: refs/heads/main\n"

    def test_twice_fails_and_keeps_first(self, workdir):
        Repo.init("w")
        (workdir / "w/.tesmo/HEAD").write_text("ref: refs/heads/other\n")
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.init("w")
        assert excinfo.value.args == ("tesmo repository already exists at w/.tesmo",)
        assert (workdir / "w/.tesmo/HEAD").read_text() == "ref: refs/heads/other\n"

    def test_regular_file_counts_as_existing(self, workdir):
        (workdir / ".tesmo").write_text("")
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.init(workdir)
        assert excinfo.value.args == (f"tesmo repository already exists at {workdir}/.tesmo",)

    def test_os_error_text_without_context(self, workdir):
        (workdir / "file").write_text("")
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.init("file/w")
        assert excinfo.value.args == ("Not a directory (os error 20)",)

    def test_relative_root_stays_relative(self, workdir):
        assert Repo.init("w").root == pathlib.Path("w/.tesmo")
        assert not Repo.init("x").root.is_absolute()

    def test_path_and_str_equivalent(self, workdir):
        assert Repo.init(pathlib.Path("p")).root == Repo.init("q").root.parent.parent / "p/.tesmo"


class TestDiscover:
    def test_finds_from_deep_subdirectory(self, workdir):
        Repo.init(workdir)
        deep = workdir / "a" / "b" / "c"
        deep.mkdir(parents=True)
        assert Repo.discover(deep).root == workdir / ".tesmo"

    def test_relative_start_joined_to_cwd(self, workdir):
        Repo.init(workdir)
        (workdir / "sub" / "dir").mkdir(parents=True)
        root = Repo.discover("sub/dir").root
        assert root.is_absolute()
        assert str(root) == os.getcwd() + "/.tesmo"

    def test_no_start_none_and_cwd_agree(self, workdir):
        Repo.init(workdir)
        roots = {str(Repo.discover().root), str(Repo.discover(None).root),
                 str(Repo.discover(os.getcwd()).root), str(Repo.discover(start=None).root)}
        assert roots == {os.getcwd() + "/.tesmo"}

    def test_components_not_normalised(self, workdir):
        Repo.init(workdir)
        (workdir / "a" / "b").mkdir(parents=True)
        # ".." is removed as a name, so the walk from a/../a/b ends at a/.. .
        root = Repo.discover(f"{workdir}/a/../a/b").root
        assert str(root) == f"{workdir}/a/../.tesmo"

    def test_nearest_repository_wins(self, workdir):
        Repo.init(workdir)
        Repo.init(workdir / "inner")
        assert Repo.discover(workdir / "inner").root == workdir / "inner" / ".tesmo"

    def test_bare_tesmo_directory_accepted(self, workdir):
        (workdir / ".tesmo").mkdir()
        assert Repo.discover(workdir).root == workdir / ".tesmo"

    def test_file_named_tesmo_skipped(self, workdir):
        Repo.init(workdir)
        (workdir / "x").mkdir()
        (workdir / "x" / ".tesmo").write_text("")
        assert Repo.discover(workdir / "x").root == workdir / ".tesmo"

    def test_symlink_to_directory_accepted(self, workdir):
        (workdir / "real").mkdir()
        (workdir / "w").mkdir()
        os.symlink(workdir / "real", workdir / "w" / ".tesmo")
        assert Repo.discover(workdir / "w").root == workdir / "w" / ".tesmo"

    @pytest.mark.skipif(os.path.exists("/.tesmo"), reason="/.tesmo exists here")
    @pytest.mark.parametrize("start", ["/", "/nonexistent/deeper"])
    def test_fails_at_the_top(self, start):
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.discover(start)
        assert excinfo.value.args == NOT_IN_REPO

    def test_vanished_cwd(self, workdir):
        gone = workdir / "gone"
        gone.mkdir()
        os.chdir(gone)
        gone.rmdir()
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.discover()
        assert excinfo.value.args == ("No such file or directory (os error 2)",)


class TestOpen:
    def test_subdirectory_gives_parent_repository(self, workdir):
        Repo.init(workdir)
        (workdir / "sub").mkdir()
        assert Repo.open(workdir / "sub").root == workdir / ".tesmo"

    def test_no_repository(self, workdir):
        if os.path.exists("/.tesmo"):
            pytest.skip("/.tesmo exists here")
        with pytest.raises(tesmo.TesmoError) as excinfo:
            Repo.open(workdir)
        assert excinfo.value.args == NOT_IN_REPO


class TestRoot:
    def test_new_path_each_time(self, repo):
        first, second = repo.root, repo.root
        assert isinstance(first, pathlib.Path)
        assert first == second and first is not second

    def test_undecodable_bytes_round_trip(self, workdir):
        name = os.fsdecode(b"w\xff")
        repo = Repo.init(name)
        assert repo.root == pathlib.Path(name) / ".tesmo"
        assert os.fsencode(repo.root) == b"w\xff/.tesmo"
        assert repo.root.is_dir()


class TestRepr:
    @pytest.mark.parametrize(
        "workdir_name, shown",
        [
            ("w", 'w/.tesmo'),
            ('a"b', 'a\\"b/.tesmo'),
            ("back\\slash", "back\\\\slash/.tesmo"),
            ("it's", "it's/.tesmo"),
            ("tab\there", "tab\\there/.tesmo"),
            ("nl\nx", "nl\\nx/.tesmo"),
            ("caf\u00e9", "caf\u00e9/.tesmo"),
            ("e\u0301", "e\\u{301}/.tesmo"),
            ("bell\x07", "bell\\u{7}/.tesmo"),
            ("del\x7f", "del\\u{7f}/.tesmo"),
            ("\U0001f3ac", "\U0001f3ac/.tesmo"),
            (os.fsdecode(b"bad\xff\xfe"), "bad\\xFF\\xFE/.tesmo"),
        ],
        ids=["plain", "quote", "backslash", "single-quote", "tab", "newline", "accent",
             "combining", "bell", "delete", "emoji", "invalid-utf8"],
    )
    def test_escaping(self, workdir, workdir_name, shown):
        assert repr(Repo.init(workdir_name)) == f'Repo(root="{shown}")'

    def test_absolute_path(self, workdir):
        Repo.init(workdir)
        assert repr(Repo.open(workdir)) == f'Repo(root="{workdir}/.tesmo")'
