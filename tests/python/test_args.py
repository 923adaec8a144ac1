"""Argument matching: the interpreter's TypeError texts, from one mechanism."""

import pathlib

import pytest

import tesmo

Repo = tesmo.Repo


def type_error(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    return excinfo.value.args


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Repo.init(), "Repo.init() missing 1 required positional argument: 'workdir'"),
        (lambda: Repo.open(), "Repo.open() missing 1 required positional argument: 'workdir'"),
        (lambda: Repo.init("a", "b"), "Repo.init() takes 1 positional arguments but 2 were given"),
        (lambda: Repo.open("a", "b", "c"),
         "Repo.open() takes 1 positional arguments but 3 were given"),
        (lambda: Repo.discover("a", "b"),
         "Repo.discover() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Repo.init("a", workdir="b"),
         "Repo.init() got multiple values for argument 'workdir'"),
        (lambda: Repo.discover(None, start=None),
         "Repo.discover() got multiple values for argument 'start'"),
        (lambda: Repo.init(path="a"), "Repo.init() got an unexpected keyword argument 'path'"),
        (lambda: Repo.init("a", path="b"),
         "Repo.init() got an unexpected keyword argument 'path'"),
        (lambda: Repo.discover(begin="/"),
         "Repo.discover() got an unexpected keyword argument 'begin'"),
    ],
    ids=["missing", "missing-open", "too-many", "too-many-3", "too-many-optional",
         "repeated", "repeated-optional", "unexpected", "unexpected-after-positional",
         "unexpected-optional"],
)
def test_matching_errors(call, message):
    assert type_error(call) == (message,)


def test_unexpected_keyword_reported_before_missing():
    assert type_error(lambda: Repo.init(wrkdir="x")) == (
        "Repo.init() got an unexpected keyword argument 'wrkdir'",)


def test_too_many_reported_before_keywords():
    assert type_error(lambda: Repo.init("a", "b", bogus=1)) == (
        "Repo.init() takes 1 positional arguments but 2 were given",)


class BytesPath:
    def __fspath__(self):
        return b"w"


class StrPath:
    def __fspath__(self):
        return "w"


class BadPath:
    def __fspath__(self):
        raise TypeError("no path here")


@pytest.mark.parametrize("method", [Repo.init, Repo.open, Repo.discover], ids=lambda m: m.__name__)
class TestPathArguments:
    def param(self, method):
        return "start" if method is Repo.discover else "workdir"

    @pytest.mark.parametrize("value", [b"w", BytesPath()], ids=["bytes", "fspath-bytes"])
    def test_bytes_refused(self, method, value):
        assert type_error(lambda: method(value)) == (
            f"argument '{self.param(method)}': 'bytes' object cannot be converted to 'PyString'",)

    @pytest.mark.parametrize("value, type_name", [(5, "int"), (1.5, "float"), ([], "list")])
    def test_not_path_like(self, method, value, type_name):
        assert type_error(lambda: method(value)) == (
            f"argument '{self.param(method)}': expected str, bytes or os.PathLike object, "
            f"not {type_name}",)

    def test_fspath_type_error_prefixed(self, method):
        assert type_error(lambda: method(BadPath())) == (
            f"argument '{self.param(method)}': no path here",)

    def test_keyword_form(self, method, workdir):
        if method is not Repo.init:
            Repo.init(workdir)
        assert method(**{self.param(method): str(workdir)}).root == workdir / ".tesmo"

    def test_lone_surrogate_raises_unicode_error_unchanged(self, method):
        with pytest.raises(UnicodeEncodeError):
            method("w\ud800")


@pytest.mark.parametrize("value", ["w", pathlib.Path("w"), StrPath()], ids=["str", "Path", "fspath"])
def test_path_like_accepted(workdir, value):
    assert Repo.init(value).root == pathlib.Path("w/.tesmo")


@pytest.mark.parametrize("name", ["init", "discover", "open"])
def test_constructors_are_static_methods(name):
    assert isinstance(vars(Repo)[name], staticmethod)
