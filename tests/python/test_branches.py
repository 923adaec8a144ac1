"""HEAD and branch files, and the branch methods of Repo."""

import os

import pytest

import tesmo

VALID_NAMES = ["main", "feature/x-2", "release-1.2", "release.", "-x", "HEAD", "a_b", "Z9"]
INVALID_NAMES = [".hidden", "/x", "x/", "a..b", "a//b", "a b", "caf\u00e9", "a\tb", "x~", "a:b",
                 ".", "..", "../../HEAD", "a/.."]


def tesmo_error(call):
    with pytest.raises(tesmo.TesmoError) as excinfo:
        call()
    return excinfo.value.args


def tree(root):
    """Every path below root, relative, with a trailing slash for directories."""
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        prefix = "" if rel == "." else rel + "/"
        out += [prefix + d + "/" for d in dirnames] + [prefix + f for f in filenames]
    return sorted(out)


@pytest.fixture
def heads(repo):
    return repo.root / "refs" / "heads"


@pytest.fixture
def head_file(repo):
    return repo.root / "HEAD"


@pytest.fixture
def first(repo):
    return repo.commit({"v": 1}, "first")


class TestBranchNames:
    @pytest.mark.parametrize("name", VALID_NAMES)
    def test_valid(self, repo, heads, head_file, name):
        head_file.write_text("ref: refs/heads/base\n")
        base = repo.commit({}, "m")
        assert repo.create_branch(name) == base
        assert (heads / name).read_bytes() == (base + "\n").encode()
        repo.switch_branch(name)
        assert repo.current_branch() == name
        repo.switch_branch("base")
        repo.delete_branch(name)
        assert not (heads / name).exists()

    @pytest.mark.parametrize("method", ["create_branch", "delete_branch", "switch_branch"])
    @pytest.mark.parametrize("name", INVALID_NAMES, ids=repr)
    def test_invalid(self, repo, first, method, name):
        before = tree(repo.root)
        assert tesmo_error(lambda: getattr(repo, method)(name)) == (f"invalid branch name: {name}",)
        assert tree(repo.root) == before

    @pytest.mark.parametrize("method", ["create_branch", "delete_branch", "switch_branch"])
    def test_empty(self, repo, head_file, first, method):
        head_file.write_text("garbage")
        assert tesmo_error(lambda: getattr(repo, method)("")) == ("branch name is empty",)
        assert head_file.read_text() == "garbage"

    def test_rules_before_the_current_branch_check(self, repo, head_file):
        head_file.write_text("ref: refs/heads/.x\n")
        assert tesmo_error(lambda: repo.delete_branch(".x")) == ("invalid branch name: .x",)


class TestCreateBranch:
    def test_at_head_by_default_and_head_unchanged(self, repo, head_file, first):
        second = repo.commit({"v": 2}, "second")
        assert repo.create_branch("b") == second
        assert head_file.read_bytes() == b"ref: refs/heads/main\n"
        assert repo.current_branch() == "main"

    @pytest.mark.parametrize("form", ["positional", "keyword", "short", "full", "branch-keyword"])
    def test_start_refs(self, repo, heads, first, form):
        repo.commit({"v": 2}, "second")
        call = {
            "positional": lambda: repo.create_branch("b", first),
            "keyword": lambda: repo.create_branch(name="b", at=first),
            "short": lambda: repo.create_branch("b", first[7:12]),
            "full": lambda: repo.create_branch("b", at=first[7:]),
            "branch-keyword": lambda: (repo.create_branch("old", first),
                                       repo.create_branch("b", at="old"))[1],
        }[form]
        assert call() == first
        assert (heads / "b").read_text() == first + "\n"

    @pytest.mark.parametrize("at, param", [(None, "at"), (5, "at")], ids=["none", "int"])
    def test_at_must_be_str(self, repo, first, at, param):
        with pytest.raises(TypeError) as excinfo:
            repo.create_branch("b", at=at)
        assert excinfo.value.args == (
            f"argument 'at': '{type(at).__name__}' object cannot be converted to 'PyString'",)

    def test_existing_name_before_the_start_ref(self, repo, first):
        assert tesmo_error(lambda: repo.create_branch("main", at="no such ref")) == (
            "branch main already exists",)

    def test_directory_counts_as_existing(self, repo, heads, first):
        repo.create_branch("feature/x")
        assert (heads / "feature").is_dir()
        assert tesmo_error(lambda: repo.create_branch("feature")) == (
            "branch feature already exists",)

    def test_fresh_repository(self, repo, heads):
        assert tesmo_error(lambda: repo.create_branch("b")) == (
            "HEAD points at main but branch has no commits yet",)
        assert list(heads.iterdir()) == []

    def test_unresolvable_start_writes_nothing(self, repo, heads, first):
        assert tesmo_error(lambda: repo.create_branch("x/y", "zz!")) == (
            "could not resolve ref: zz!",)
        assert sorted(p.name for p in heads.iterdir()) == ["main"]


class TestDeleteBranch:
    def test_deletes_only_the_file(self, repo, heads, objects, first):
        repo.create_branch("b")
        repo.create_branch("feature/x")
        before = objects.files()
        assert repo.delete_branch("b") is None
        assert repo.delete_branch("feature/x") is None
        assert tree(heads) == ["feature/", "main"]
        assert objects.files() == before
        assert repo.current_branch() == "main"

    def test_a_dangling_link_is_no_branch_and_stays(self, repo, heads, first):
        # No other call sees it as a branch, so deleting it is refused too.
        (heads / "ghost").symlink_to(heads / "nowhere")
        assert tesmo_error(lambda: repo.delete_branch("ghost")) == ("branch ghost does not exist",)
        assert (heads / "ghost").is_symlink()

    @pytest.mark.parametrize("born", [False, True], ids=["unborn", "with-file"])
    def test_current_branch_refused(self, repo, heads, born):
        if born:
            repo.commit({}, "m")
        assert tesmo_error(lambda: repo.delete_branch("main")) == (
            "cannot delete the current branch (main); switch first",)
        assert (heads / "main").exists() == born

    def test_missing(self, repo, first):
        assert tesmo_error(lambda: repo.delete_branch("nope")) == ("branch nope does not exist",)

    def test_broken_head_blocks_deletion(self, repo, heads, head_file, first):
        repo.create_branch("b")
        head_file.write_text("garbage\n")
        assert tesmo_error(lambda: repo.delete_branch("b")) == (
            'HEAD has unexpected contents: "garbage"',)
        assert (heads / "b").exists()


class TestListBranches:
    def test_fresh_repository(self, repo):
        assert repo.list_branches() == []

    def test_sorted_pairs_without_nested_branches(self, repo, first):
        second = repo.commit({"v": 2}, "second")
        for name in ("b", "ab", "feature/x"):
            repo.create_branch(name)
        repo.create_branch("a", first)
        assert repo.list_branches() == [("a", first), ("ab", second), ("b", second),
                                        ("main", second)]
        assert all(type(pair) is tuple for pair in repo.list_branches())

    def test_bad_file_fails_the_listing(self, repo, heads, first):
        (heads / "bad").write_text("junk\n")
        assert tesmo_error(repo.list_branches) == ('branch bad has invalid contents: "junk"',)
        (heads / "bad").write_bytes(b"sha256:\xff")
        assert tesmo_error(repo.list_branches) == (f"reading {heads / 'bad'}",)

    def test_skips_dotfiles_and_symlinks(self, repo, heads, first):
        (heads / ".main.tmp-1-0").write_text("junk")
        os.symlink(heads / "main", heads / "link")
        assert repo.list_branches() == [("main", first)]

    def test_trimmed_contents(self, repo, heads, first):
        (heads / "t").write_text("\u3000 sha256:abc\t\n")
        assert ("t", "sha256:abc") in repo.list_branches()
        assert repo.resolve("t") == "sha256:abc"

    def test_missing_heads_directory(self, repo, heads):
        heads.rmdir()
        assert repo.list_branches() == []

    @pytest.mark.parametrize("method, message", [
        ("list_branches", "Repo.list_branches() takes no arguments (1 given)"),
        ("current_branch", "Repo.current_branch() takes no arguments (1 given)"),
    ])
    def test_no_arguments(self, repo, method, message):
        with pytest.raises(TypeError) as excinfo:
            getattr(repo, method)(1)
        assert excinfo.value.args == (message,)


class TestHead:
    @pytest.mark.parametrize(
        "text, branch",
        [
            (b"ref: refs/heads/main", "main"),
            (b"\n\n  ref: refs/heads/main  \r\n\n", "main"),
            ("\u3000\u0085ref: refs/heads/dev\u2028\u00a0\u205f\v\f".encode(), "dev"),
            ("\u2000\u200aref: refs/heads/x\u1680\u202f\u2029".encode(), "x"),
            (b"ref: refs/heads/feature/x-2.1", "feature/x-2.1"),
            (b"sha256:", None),
            (b"  sha256:not-an-id\n", None),
        ],
        ids=["no-newline", "blank-lines", "unicode-space", "more-unicode-space", "nested-name",
             "prefix-only", "detached"],
    )
    def test_read_forms(self, repo, head_file, text, branch):
        head_file.write_bytes(text)
        assert repo.current_branch() == branch

    def test_detached_head_commit_is_its_text(self, repo, head_file):
        head_file.write_text("\tsha256:whatever \n")
        assert repo.resolve("HEAD") == "sha256:whatever"

    @pytest.mark.parametrize(
        "name",
        ["", "a b", "main\x00x", "../../../../../tmp/escaped/x", "/tmp/escaped/x", "a//b", ".hidden",
         "x/", "caf\u00e9"],
        ids=["empty", "space", "nul", "dot-dot", "absolute", "double-slash", "leading-dot",
             "trailing-slash", "non-ascii"],
    )
    def test_a_name_breaking_the_rules_is_a_malformed_head(self, repo, workdir, heads, head_file,
                                                           first, name):
        # HEAD may come from another machine: a name that is no branch name
        # never becomes a path, for reading or for writing.
        head_file.write_bytes(f"ref: refs/heads/{name}\n".encode())
        shown = '"ref: refs/heads/' + name.replace("\x00", "\\0") + '"'
        message = (f"HEAD has unexpected contents: {shown}",)
        for call in (repo.current_branch, lambda: repo.resolve("HEAD"), lambda: repo.log("HEAD"),
                     lambda: repo.commit({"v": 2}, "m"), lambda: repo.create_branch("new"),
                     lambda: repo.delete_branch("main")):
            assert tesmo_error(call) == message
        assert (heads / "main").read_text() == first + "\n"
        assert not (heads / "new").exists()
        assert not os.path.exists("/tmp/escaped")
        assert sorted(p.name for p in workdir.iterdir()) == [".tesmo"]

    @pytest.mark.parametrize(
        "text, shown",
        [
            ("garbage", '"garbage"'),
            ("ref: x\nmore\n", '"ref: x\\nmore"'),
            ('a"b\\c\td\re\x00', '"a\\"b\\\\c\\td\\re\\0"'),
            ("it's caf\u00e9", '"it\'s caf\u00e9"'),
            ("\u200bref: refs/heads/main", '"\\u{200b}ref: refs/heads/main"'),
            ("e\u0301\x07\x7f", '"e\\u{301}\\u{7}\\u{7f}"'),
            ("a\u0085b\u00adc", '"a\\u{85}b\\u{ad}c"'),
            (" \n\u3000", '""'),
            ("Ref: refs/heads/main", '"Ref: refs/heads/main"'),
        ],
        ids=["word", "inner-newline", "escapes", "printable", "zero-width-space", "combining",
             "inner-next-line-and-soft-hyphen", "only-white-space", "case"],
    )
    def test_unexpected_contents(self, repo, head_file, text, shown):
        head_file.write_text(text)
        assert tesmo_error(repo.current_branch) == (f"HEAD has unexpected contents: {shown}",)

    @pytest.mark.parametrize("make", [lambda p: p.unlink(), lambda p: p.write_bytes(b"\xff")],
                             ids=["missing", "not-utf8"])
    def test_unreadable(self, repo, head_file, make):
        make(head_file)
        assert tesmo_error(repo.current_branch) == (f"reading {head_file}",)


class TestSwitchBranch:
    def test_switch_and_commit(self, repo, heads, head_file, first):
        repo.create_branch("feature/x")
        assert repo.switch_branch("feature/x") is None
        assert head_file.read_bytes() == b"ref: refs/heads/feature/x\n"
        assert repo.current_branch() == "feature/x"
        second = repo.commit({"v": 2}, "on feature")
        assert (heads / "feature/x").read_text() == second + "\n"
        assert (heads / "main").read_text() == first + "\n"
        assert [e[0] for e in repo.log()] == [second, first]

    def test_same_branch_rewrites_head(self, repo, head_file, first):
        head_file.write_text("  ref: refs/heads/main")
        repo.switch_branch("main")
        assert head_file.read_bytes() == b"ref: refs/heads/main\n"

    @pytest.mark.parametrize("name", ["nope", "main"], ids=["missing", "unborn-main"])
    def test_missing_branch_leaves_head(self, repo, head_file, name):
        head_file.write_text("ref: refs/heads/other")
        assert tesmo_error(lambda: repo.switch_branch(name)) == (f"branch {name} does not exist",)
        assert head_file.read_text() == "ref: refs/heads/other"


class TestWrites:
    def test_no_temporary_files_left(self, repo, first):
        repo.create_branch("a")
        repo.create_branch("n/b")
        repo.switch_branch("n/b")
        repo.commit({"v": 2}, "m")
        repo.switch_branch("a")
        repo.delete_branch("n/b")
        names = [os.path.basename(p.rstrip("/")) for p in tree(repo.root)]
        assert [n for n in names if n.startswith(".")] == []

    def test_branch_files_replaced_not_rewritten_in_place(self, repo, heads, head_file, first):
        # A reader holding the old file keeps its old contents: the new text
        # arrives through a rename, not by truncating the file.
        with open(heads / "main") as old_branch, open(head_file) as old_head:
            repo.commit({"v": 2}, "m")
            repo.create_branch("b")
            repo.switch_branch("b")
            assert old_branch.read() == first + "\n"
            assert old_head.read() == "ref: refs/heads/main\n"
