"""The module object, its classes and TesmoError."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tesmo

STANDARD_MODULE_ATTRS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


# What help() and editors show for every public name of the module: its text
# signature (None where there is none) and its docstring, exactly. A class's
# members are its names without a leading underscore, and __repr__ where the
# class defines one of its own.
INTERFACE = {
    "tesmo": (None, ""),
    "tesmo.Repo": (None, None),
    "tesmo.Repo.__repr__": ("($self, /)", object.__repr__.__doc__),
    "tesmo.Repo.init": ("(workdir)",
                        "Create a new repo at <workdir>/.tesmo/. Errors if it already exists."),
    "tesmo.Repo.discover": ("(start=None)",
                            "Open a repo by walking up from <start> looking for .tesmo/."),
    "tesmo.Repo.open": ("(workdir)",
                        "Open a repo whose .tesmo/ lives at exactly <path>/.tesmo. Convenience\n"
                        "wrapper over discover() when the caller knows the workdir."),
    "tesmo.Repo.commit": ("($self, timeline, message, author_name=None, author_email=None)",
                          "Snapshot a timeline (Python dict) and create a commit on the\n"
                          "current branch. Returns the new commit's hash."),
    "tesmo.Repo.diff_refs": ("($self, before_ref, after_ref)",
                             "Diff between two refs in this repo (branch name, commit hash, HEAD).\n"
                             "Returns a list of Change objects."),
    "tesmo.Repo.read_timeline": ("($self, refstr)",
                                 "Read the timeline at a given ref as a Python dict."),
    "tesmo.Repo.read_commit": ("($self, refstr)", "Read the commit at <ref> as a Commit dict."),
    "tesmo.Repo.resolve": ("($self, refstr)",
                           "Resolve a ref string (HEAD, branch, short hash, full hash) to a\n"
                           "full hash."),
    "tesmo.Repo.log": ("($self, refstr=None)",
                       "Walk commits from <ref> (default HEAD) newest-first.\n"
                       "Each entry is a (hash, commit_dict) tuple."),
    "tesmo.Repo.create_branch": ('($self, name, at="HEAD")',
                                 "Create a branch at <start_ref> (default HEAD). Returns the commit\n"
                                 "hash the branch was created at."),
    "tesmo.Repo.delete_branch": ("($self, name)",
                                 "Delete a branch. Refuses to delete the current branch."),
    "tesmo.Repo.list_branches": ("($self)",
                                 "List branches as (name, hash) tuples, sorted alphabetically."),
    "tesmo.Repo.current_branch": ("($self)",
                                  "Return the current branch name, or None if HEAD is detached."),
    "tesmo.Repo.switch_branch": ("($self, name)", "Switch HEAD to an existing branch."),
    "tesmo.Repo.root": (None, "Filesystem path to the .tesmo/ directory."),
    "tesmo.Change": (None, "One semantic change between two timelines."),
    "tesmo.Change.__repr__": ("($self, /)", object.__repr__.__doc__),
    "tesmo.Change.to_dict": ("($self)",
                             "Full structured payload as a Python dict. Same shape the CLI emits\n"
                             "with --json. This is the most flexible accessor; per-field\n"
                             "properties exist for ergonomics on common cases."),
    "tesmo.Change.op": (None,
                        'The change\'s discriminator: "trimmed", "moved", "added", "removed",\n'
                        '"replaced", "effects_changed", "transition_added",\n'
                        '"transition_removed", "track_added", "track_removed".'),
    "tesmo.diff": ("(before, after)",
                   "Compute the diff between two OTIO timelines passed as Python dicts.\n"
                   "Returns a list of Change objects. No repo required."),
    "tesmo.TesmoError": (None, None),
}


def public_interface():
    """Every public name of the module, with its text signature and docstring."""
    found = {"tesmo": (None, tesmo.__doc__)}
    for name, value in vars(tesmo).items():
        if name in STANDARD_MODULE_ATTRS:
            continue
        found[f"tesmo.{name}"] = (getattr(value, "__text_signature__", None), value.__doc__)
        if isinstance(value, type):
            for member in vars(value):
                if not member.startswith("_") or member == "__repr__":
                    attribute = getattr(value, member)  # a static method's function itself
                    found[f"tesmo.{name}.{member}"] = (
                        getattr(attribute, "__text_signature__", None), attribute.__doc__)
    return found


class TestModuleShape:
    def test_every_public_name_with_its_signature_and_docstring(self):
        assert public_interface() == INTERFACE

    def test_built_as_abi3(self):
        assert Path(tesmo.__file__).name == "tesmo.abi3.so"


class TestTesmoError:
    def test_identity(self):
        err = tesmo.TesmoError
        assert (err.__module__, err.__name__, err.__qualname__) == ("tesmo", "TesmoError", "TesmoError")
        assert err.__mro__ == (err, Exception, BaseException, object)

    def test_class_dict_has_nothing_of_its_own(self):
        assert set(vars(tesmo.TesmoError)) <= {"__module__", "__weakref__", "__doc__", "__dict__"}

    def test_raised_with_one_message(self, workdir):
        with pytest.raises(Exception) as excinfo:
            tesmo.Repo.open(workdir)
        assert type(excinfo.value) is tesmo.TesmoError
        assert excinfo.value.args == ("not in a tesmo repository (run `tesmo init` first)",)
        assert excinfo.value.__cause__ is None

    def test_same_objects_after_reimport(self, monkeypatch):
        repo_cls, change_cls, error_cls, module = tesmo.Repo, tesmo.Change, tesmo.TesmoError, tesmo
        monkeypatch.delitem(sys.modules, "tesmo")
        import tesmo as again

        assert again is module
        assert again.Repo is repo_cls
        assert again.Change is change_cls
        assert again.TesmoError is error_cls


class TestClassShape:
    @pytest.mark.parametrize("cls", [tesmo.Repo, tesmo.Change], ids=lambda c: c.__name__)
    def test_cannot_instantiate(self, cls):
        with pytest.raises(TypeError) as excinfo:
            cls()
        assert excinfo.value.args == (f"cannot create 'tesmo.{cls.__name__}' instances",)

    def test_cannot_instantiate_with_arguments(self):
        with pytest.raises(TypeError, match=r"^cannot create 'tesmo.Repo' instances$"):
            tesmo.Repo("x", root="y")

    def test_new_refused_too(self):
        with pytest.raises(TypeError, match=r"^cannot create 'tesmo.Repo' instances$"):
            tesmo.Repo.__new__(tesmo.Repo)

    @pytest.mark.parametrize("cls", [tesmo.Repo, tesmo.Change], ids=lambda c: c.__name__)
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("cls", [tesmo.Repo, tesmo.Change], ids=lambda c: c.__name__)
    def test_identity(self, cls):
        assert cls.__module__ == "tesmo"
        assert cls.__mro__ == (cls, object)

    def test_no_instance_dict(self, repo):
        with pytest.raises(AttributeError):
            repo.anything = 1
        assert not hasattr(repo, "__dict__")
        with pytest.raises(AttributeError):
            repo.root = "x"

    def test_diff_is_a_module_function(self):
        assert type(tesmo.diff).__name__ == "builtin_function_or_method"
        assert (tesmo.diff.__name__, tesmo.diff.__module__) == ("diff", "tesmo")
        assert tesmo.diff.__self__ is None


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


class TestInterpreters:
    def test_second_interpreter_refused(self):
        result = run_python("""
            import tesmo
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("no-subinterpreters")
                raise SystemExit(0)
            iid = interpreters.create()
            try:
                interpreters.run_string(iid, "import tesmo")
            except Exception as exc:
                print(type(exc).__name__, exc)
            else:
                print("imported")
        """)
        assert result.returncode == 0, result.stderr
        if result.stdout.strip() == "no-subinterpreters":
            pytest.skip("this interpreter has no _xxsubinterpreters")
        assert "ImportError" in result.stdout
        assert "sub-interpreters" in result.stdout

    def test_concurrent_first_imports_share_classes(self):
        result = run_python("""
            import threading
            seen = []
            def worker():
                import tesmo
                seen.append((tesmo.Repo, tesmo.TesmoError))
            threads = [threading.Thread(target=worker) for _ in range(8)]
            for t in threads: t.start()
            for t in threads: t.join()
            print(len(seen), len(set(seen)))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["8", "1"]


def _stable_abi():
    listed = {}
    for line in (Path(__file__).parent / "stable_abi.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            name, version = line.split()
            listed[name] = tuple(int(p) for p in version.split("."))
    return listed


def _nm(*flags, path=None):
    try:
        out = subprocess.run(["nm", "-D", *flags, path or tesmo.__file__], capture_output=True,
                             text=True, check=True).stdout
    except FileNotFoundError:
        pytest.skip("nm is not installed")
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def _engine_path():
    from tesmo_cli import _engine
    return _engine.__file__


class TestBinary:
    # The comparison engine, a module of its own in the command's package,
    # keeps to the same stable ABI so that the one wheel serves every
    # interpreter.
    @pytest.mark.parametrize("module, init", [(None, "PyInit_tesmo"), ("engine", "PyInit__engine")])
    def test_only_init_function_exported(self, module, init):
        path = _engine_path() if module else None
        assert _nm("--defined-only", path=path) == {init}

    @pytest.mark.parametrize("module", [None, "engine"])
    def test_imports_only_stable_abi_up_to_3_9(self, module):
        listed = _stable_abi()
        assert all(version <= (3, 9) for version in listed.values())
        path = _engine_path() if module else None
        used = {name for name in _nm("--undefined-only", path=path) if name.startswith(("Py", "_Py"))}
        assert used - set(listed) == set()
