"""The module object, its classes and TesmoError."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tesmo

STANDARD_MODULE_ATTRS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


class TestModuleShape:
    def test_attributes_in_order(self):
        own = [name for name in vars(tesmo) if name not in STANDARD_MODULE_ATTRS]
        assert own == ["Repo", "Change", "diff", "TesmoError"]

    def test_empty_docstring(self):
        assert tesmo.__doc__ == ""

    def test_built_as_abi3(self):
        assert Path(tesmo.__file__).name == "tesmo.abi3.so"


class TestTesmoError:
    def test_identity(self):
        err = tesmo.TesmoError
        assert (err.__module__, err.__name__, err.__qualname__) == ("tesmo", "TesmoError", "TesmoError")
        assert err.__mro__ == (err, Exception, BaseException, object)
        assert err.__doc__ is None

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

    def test_docstrings(self):
        assert tesmo.Repo.__doc__ is None
        assert tesmo.Change.__doc__ == "One semantic change between two timelines."

    def test_no_instance_dict(self, repo):
        with pytest.raises(AttributeError):
            repo.anything = 1
        assert not hasattr(repo, "__dict__")
        with pytest.raises(AttributeError):
            repo.root = "x"

    def test_members_in_order(self):
        names = [n for n in vars(tesmo.Repo) if not n.startswith("__")]
        assert names == ["init", "discover", "open", "commit", "diff_refs", "read_timeline",
                         "read_commit", "resolve", "log", "create_branch", "delete_branch",
                         "list_branches", "current_branch", "switch_branch", "root"]
        assert "__repr__" in vars(tesmo.Repo)
        assert [n for n in vars(tesmo.Change) if not n.startswith("__")] == ["to_dict", "op"]

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


def _nm(*flags):
    try:
        out = subprocess.run(["nm", "-D", *flags, tesmo.__file__], capture_output=True,
                             text=True, check=True).stdout
    except FileNotFoundError:
        pytest.skip("nm is not installed")
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


class TestBinary:
    def test_only_init_function_exported(self):
        assert _nm("--defined-only") == {"PyInit_tesmo"}

    def test_imports_only_stable_abi_up_to_3_9(self):
        listed = _stable_abi()
        assert all(version <= (3, 9) for version in listed.values())
        used = {name for name in _nm("--undefined-only") if name.startswith(("Py", "_Py"))}
        assert used - set(listed) == set()
