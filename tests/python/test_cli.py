"""The tesmo command on .otio files, which it reads without OpenTimelineIO.

Each test runs the installed console script in a subprocess and checks what
it prints and does against the tesmo module itself."""

import json
import os
import re
import signal
import subprocess
import sys
import time
from importlib.metadata import version
from pathlib import Path

import pytest

import tesmo
import tesmo_cli
from cli_support import one_error_line, run, snapshot, tesmo_command, write_json
from otio_support import clip, timeline, track

COMMANDS = ["init", "commit", "log", "show", "branch", "switch", "resolve", "diff", "merge",
            "merge-base", "merge-file"]

ASSEMBLY = timeline(
    track("V1", clip("intro", "intro.mov", duration=48),
          clip("interview", "interview.mov", duration=120),
          clip("outro", "outro.mov", duration=24)),
    track("A1", clip("music", "music.mov", duration=192), kind="Audio"))
RECUT = timeline(
    track("V1", clip("interview", "interview.mov", duration=96),
          clip("intro", "intro.mov", duration=48),
          clip("credits", "credits.mov", duration=24)),
    track("A1", clip("music", "music.mov", duration=192), kind="Audio"))


@pytest.fixture
def work(tmp_path):
    run("init", cwd=tmp_path, check_status=0)
    write_json(tmp_path / "assembly.otio", ASSEMBLY)
    write_json(tmp_path / "recut.otio", RECUT)
    return tmp_path


def commit(work, name, message, *extra):
    return run("commit", name, "-m", message, *extra, cwd=work, check_status=0).stdout.strip()


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help_with_the_shared_options(command, tmp_path):
    result = run(command, "--help", cwd=tmp_path, check_status=0)
    assert result.stdout.startswith(f"usage: tesmo {command}")
    for option in ("-C DIR", "--color"):
        assert option in result.stdout


@pytest.mark.parametrize("option", ["--help", "--version"])
def test_python_dash_m_runs_the_same_command(tmp_path, option):
    module = subprocess.run([sys.executable, "-m", "tesmo_cli", option], cwd=tmp_path,
                            capture_output=True, text=True)
    assert module.returncode == 0
    assert module.stdout == run(option, cwd=tmp_path, check_status=0).stdout


def test_version_names_the_package_version_and_the_deflate(tmp_path):
    # The build writes the deflate library into the installed package.
    lines = run("--version", cwd=tmp_path, check_status=0).stdout.splitlines()
    assert lines[0] == f"tesmo {version('tesmo')}"
    assert re.fullmatch(r"deflate: (libdeflate|zlib) \d+\.\d+(\.\d+)*", lines[1]), lines


def test_render_report_comes_from_the_package_without_opentimelineio():
    code = ("import sys, tesmo_cli; assert 'tesmo_cli.report' not in sys.modules;"
            "from tesmo_cli import render_report; import tesmo_cli.report as r;"
            "assert render_report is r.render_report is tesmo_cli.render_report;"
            "page = render_report(*map(eval, sys.argv[1:3]), before_label='OLD', after_label='NEW');"
            "assert 'opentimelineio' not in sys.modules, 'imported OpenTimelineIO';"
            "print(page)")
    result = subprocess.run([sys.executable, "-c", code, repr(ASSEMBLY), repr(RECUT)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("<!DOCTYPE html>") and 'data-records="4"' in result.stdout


def test_commit_stores_the_file_exactly_and_records_the_author(work):
    # Many objects whose keys come in many orders and shapes, inside one
    # whose members follow them: every member of every object is kept.
    notes = [{f"z{i}": i, f"y{i}": [], f"x{i}": {"b": 1, "a": 2}} for i in range(2000)]
    document = dict(ASSEMBLY, metadata={"notes": notes, "count": 3, "ratio": 0.5})
    write_json(work / "cut.otio", document)
    commit_id = commit(work, "cut.otio", "Assembly", "--author", "Ana", "--email", "ana@x.example")
    repo = tesmo.Repo.open(work)
    assert commit_id == repo.resolve("HEAD")
    stored = repo.read_timeline(commit_id)
    assert stored == document
    assert type(stored["metadata"]["count"]) is int  # no int-to-float conversion
    record = repo.read_commit(commit_id)
    assert (record["message"], record["author"]) == ("Assembly", {"name": "Ana", "email": "ana@x.example"})


def test_log_lines_json_and_limit(work):
    first = commit(work, "assembly.otio", "Assembly cut", "--author", "Ana")
    second = commit(work, "recut.otio", "Recut\n\nlonger notes")
    lines = run("log", cwd=work, check_status=0).stdout.splitlines()
    assert len(lines) == 2
    for line, (commit_id, author, message) in zip(lines, [(second, "agent", "Recut"),
                                                          (first, "Ana", "Assembly cut")]):
        short, stamp, rest = line.split("  ", 2)
        assert commit_id[len("sha256:"):].startswith(short) and len(short) >= 7
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", stamp)
        # Authors are padded to the longest, so messages line up.
        assert rest == f"{author.ljust(len('agent'))}  {message}"
        assert run("resolve", short, cwd=work, check_status=0).stdout.strip() == commit_id
    def words(text_lines):  # the columns, whatever their padding
        return [line.split() for line in text_lines]

    for count in (0, 1, 5):
        assert words(run("log", "-n", count, cwd=work).stdout.splitlines()) == words(lines[:count])
    assert words(run("log", first[7:19], cwd=work).stdout.splitlines()) == words(lines[1:])
    records = json.loads(run("log", "--json", cwd=work, check_status=0).stdout)
    expected = [dict(record, id=commit_id) for commit_id, record in tesmo.Repo.open(work).log()]
    assert records == expected


def test_branches_create_list_switch_delete(work):
    first = commit(work, "assembly.otio", "Assembly")
    run("branch", "recut", cwd=work, check_status=0)
    run("switch", "recut", cwd=work, check_status=0)
    second = commit(work, "recut.otio", "Recut")
    run("branch", "old", "--at", first[7:15], cwd=work, check_status=0)
    repo = tesmo.Repo.open(work)
    assert repo.current_branch() == "recut"
    assert dict(repo.list_branches()) == {"main": first, "old": first, "recut": second}
    listing = run("branch", cwd=work, check_status=0).stdout.splitlines()
    assert [line.split()[:2] for line in listing] == [["main", first[7:19]], ["old", first[7:19]],
                                                     ["*", "recut"]]
    run("branch", "-d", "old", cwd=work, check_status=0)
    assert [name for name, _ in repo.list_branches()] == ["main", "recut"]


def test_show_writes_the_committed_timeline_and_reads_back_to_the_same_id(work):
    commit_id = commit(work, "assembly.otio", "Assembly")
    shown = run("show", "main", cwd=work, check_status=0).stdout
    assert json.loads(shown) == ASSEMBLY
    run("show", "HEAD", "-o", "copy.otio", cwd=work, check_status=0)
    # Written under a private temporary name, but it ends with a new file's mode.
    assert (work / "copy.otio").stat().st_mode == (work / "assembly.otio").stat().st_mode
    # The copy holds the very timeline committed: committing it again is
    # refused, and allowed when asked for, with the same timeline object.
    refused = run("commit", "copy.otio", "-m", "Same again", cwd=work, check_status=1)
    assert refused.stdout == "" and "nothing changed since" in refused.stderr
    again = commit(work, "copy.otio", "Same again", "--allow-empty")
    repo = tesmo.Repo.open(work)
    assert repo.read_commit(again)["timeline"] == repo.read_commit(commit_id)["timeline"]


def test_minus_c_selects_the_repository_and_relative_paths(work, tmp_path_factory):
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    commit_id = run("-C", work, "commit", "assembly.otio", "-m", "from afar", cwd=elsewhere,
                    check_status=0).stdout.strip()
    assert tesmo.Repo.open(work).resolve("main") == commit_id
    assert run("resolve", "main", "-C", work, cwd=elsewhere).stdout.strip() == commit_id


@pytest.mark.parametrize("old, new, status", [
    ("main", "recut", 1), ("recut", "main", 1), ("main", "main", 0),
    ("assembly.otio", "recut.otio", 1), ("main", "recut.otio", 1), ("file:recut.otio", "ref:recut", 0),
])
def test_diff_json_is_the_engine_records_and_basic_the_module_payloads(work, old, new, status):
    commit(work, "assembly.otio", "Assembly")
    run("branch", "recut", cwd=work, check_status=0)
    run("switch", "recut", cwd=work, check_status=0)
    commit(work, "recut.otio", "Recut")
    documents = {"main": ASSEMBLY, "assembly": ASSEMBLY, "recut": RECUT}
    side = lambda text: documents[re.sub(r"^(ref:|file:)|\.otio$", "", text)]
    result = run("diff", old, new, "--json", cwd=work)
    assert result.returncode == status, result.stderr
    assert json.loads(result.stdout) == {"schema": "tesmo.changes/1",
                                         "changes": tesmo_cli.compare(side(old), side(new))}
    basic = run("diff", old, new, "--json", "--basic", cwd=work)
    assert basic.returncode == status, basic.stderr
    assert json.loads(basic.stdout) == [c.to_dict() for c in tesmo.diff(side(old), side(new))]


def test_diff_prefix_forces_a_ref_over_an_existing_file(work):
    commit(work, "assembly.otio", "Assembly")
    run("branch", "recut.otio", cwd=work, check_status=0)  # shadowed by the file recut.otio
    as_file = run("diff", "assembly.otio", "recut.otio", "--json", cwd=work)
    as_ref = run("diff", "assembly.otio", "ref:recut.otio", "--json", cwd=work)
    assert (as_file.returncode, as_ref.returncode) == (1, 0)
    assert json.loads(as_ref.stdout) == {"schema": "tesmo.changes/1", "changes": []}


def test_diff_change_list_reads_as_an_edit(work):
    result = run("diff", "assembly.otio", "recut.otio", "--color", "never", cwd=work)
    assert result.returncode == 1
    # The outro's slot now holds credits: new media and a new name in place.
    assert result.stdout == (
        "V1\n"
        "  clip 1 `interview`  trimmed tail -24: 120 -> 96 frames (00:00:05:00 -> 00:00:04:00)\n"
        "  clip 2 `intro`      moved from position 1, now at 00:00:04:00\n"
        "  clip 3 `credits`    replaced: outro.mov -> credits.mov\n"
        "  clip 3 `credits`    renamed `outro` -> `credits`\n"
        "4 changes: 1 trimmed, 1 moved, 1 replaced, 1 renamed\n")
    assert run("diff", "assembly.otio", "recut.otio", "-q", cwd=work).stdout == ""
    assert run("diff", "recut.otio", "recut.otio", cwd=work, check_status=0).stdout == ""


def test_diff_basic_keeps_the_module_diff_list(work):
    result = run("diff", "assembly.otio", "recut.otio", "--basic", "--color", "never", cwd=work)
    assert result.returncode == 1
    assert result.stdout == (
        "track V1\n"
        "  move    intro      position 1 -> 2, now after interview, before credits\n"
        "  trim    interview  120 -> 96 frames (00:00:05:00 -> 00:00:04:00), tail -24, "
        "out 00:00:05:00 -> 00:00:04:00\n"
        "  remove  outro      from position 3, outro.mov\n"
        "  add     credits    at position 3, credits.mov\n"
        "4 changes: 1 trimmed, 1 moved, 1 added, 1 removed\n")
    assert run("diff", "assembly.otio", "recut.otio", "--basic", "-q", cwd=work).stdout == ""
    assert run("diff", "recut.otio", "recut.otio", "--basic", cwd=work, check_status=0).stdout == ""
    # The markers of --annotate are the engine's records, --basic or not.
    run("diff", "assembly.otio", "recut.otio", "--basic", "--annotate", "marked.otio", cwd=work,
        check_status=1)
    marked = json.loads((work / "marked.otio").read_text())
    markers = [m["metadata"]["tesmo"] for item in marked["tracks"]["children"][0]["children"]
               for m in item.get("markers", [])]
    assert sorted(m["op"] for m in markers) == ["moved", "renamed", "replaced", "trimmed"]


@pytest.mark.parametrize("env, option, coloured", [
    ({}, "always", True), ({"NO_COLOR": "1"}, "auto", False), ({}, "never", False),
    ({}, "auto", False),  # stdout is a pipe here
])
def test_colour_only_when_asked_or_on_a_terminal(work, env, option, coloured):
    result = run("diff", "assembly.otio", "recut.otio", "--color", option, cwd=work, env=env)
    assert ("\x1b[" in result.stdout) is coloured


def test_outside_a_repository_only_the_commands_that_need_one_fail(tmp_path):
    write_json(tmp_path / "a.otio", ASSEMBLY)
    assert run("diff", "a.otio", "a.otio", cwd=tmp_path).returncode == 0
    for args in (["commit", "a.otio", "-m", "x"], ["log"], ["show", "HEAD"], ["branch"],
                 ["switch", "main"], ["resolve", "HEAD"], ["diff", "HEAD", "main"],
                 ["diff", "a.otio", "HEAD"]):
        assert one_error_line(run(*args, cwd=tmp_path)) == \
            "not in a tesmo repository (run `tesmo init` first)"


ERRORS = [
    # (command, expected message: exact text or a regular expression)
    (["log", "nosuch"], "could not resolve ref: nosuch"),
    (["show", "nosuch", "-o", "out.otio"], "could not resolve ref: nosuch"),
    (["diff", "main", "nosuch"], "could not resolve ref: nosuch"),
    (["diff", "file:gone.otio", "main"], re.compile(r".*gone\.otio: No such file or directory")),
    (["diff", "main", "gone.edl"], "gone.edl: no such file, nor a ref of that name"),
    (["commit", "gone.otio", "-m", "x"], re.compile(r".*gone\.otio: No such file or directory")),
    (["commit", "broken.otio", "-m", "x"], re.compile(r".*broken\.otio: invalid JSON: .*line 1.*")),
    (["commit", "list.otio", "-m", "x"], "expected an object at the OTIO root"),
    (["commit", "cut.xyz", "-m", "x"], re.compile(r".*(no installed OpenTimelineIO adapter supports "
                                                  r"reading \.xyz files|pip install opentimelineio)")),
    (["branch", "../x"], "invalid branch name: ../x"),
    (["switch", "../../HEAD"], "invalid branch name: ../../HEAD"),
    (["branch", "main"], "branch main already exists"),
    (["branch", "-d", "main"], "cannot delete the current branch (main); switch first"),
    (["log", "--track", "V1"], "--track needs --clip"),
    (["show", "HEAD", "-o", "nodir/out.otio"], "nodir/out.otio: cannot write: No such file or directory"),
    (["switch", "nosuch"], "branch nosuch does not exist"),
    (["resolve", "HEAD~1"], re.compile(r"HEAD~1: commit [0-9a-f]{12} has no parent \(0 of 1 steps back\)")),
    (["log", "HEAD^2"], re.compile(r"HEAD\^2: commit [0-9a-f]{12} has no parents, not a parent 2")),
    (["diff", "HEAD~x", "HEAD"], "HEAD~x: not a revision: expected ~N or ^N after HEAD"),
    (["-C", "nodir", "log"], "-C nodir: no such directory"),
    (["resolve", "bad\nref\x1b[2J"], "could not resolve ref: bad\\nref\\x1b[2J"),
    (["init"], ". is already a tesmo repository"),
    (["log", "-n", "x"], re.compile(r"argument -n: invalid int value.*")),
    (["log", "-n", "-1"], "-n takes a count of 0 or more"),
    (["diff", "main", "HEAD", "--annotate", "a.otio", "--html", "nodir/r.html"],
     "nodir/r.html: cannot write: No such file or directory"),
    (["frobnicate"], re.compile(r"argument COMMAND: invalid choice.*")),
    (["commit", "assembly.otio"], re.compile(r".*required: -m/--message.*")),
]


@pytest.mark.parametrize("args, expected", ERRORS, ids=[" ".join(a) for a, _ in ERRORS])
def test_each_failure_is_one_line_exit_2_and_writes_nothing(work, args, expected):
    commit(work, "assembly.otio", "Assembly")
    (work / "broken.otio").write_text('{"OTIO_SCHEMA": "Timeline.1", ')
    write_json(work / "list.otio", [ASSEMBLY])
    write_json(work / "cut.xyz", ASSEMBLY)
    before = snapshot(work)
    message = one_error_line(run(*args, cwd=work))
    if isinstance(expected, str):
        assert message == expected
    else:
        assert expected.fullmatch(message), message
    assert snapshot(work) == before


def test_a_missing_opentimelineio_is_named_with_its_package(work):
    # A package of that name that fails to import stands for one not installed.
    blocker = work / "blocked" / "opentimelineio"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('not installed')\n")
    (work / "cut.edl").write_text("TITLE: cut\n")
    commit(work, "assembly.otio", "Assembly")
    env = {"PYTHONPATH": f"{work / 'blocked'}:{':'.join(p for p in sys.path if p)}"}
    assert one_error_line(run("commit", "cut.edl", "-m", "x", cwd=work, env=env)) == \
        "reading .edl files needs OpenTimelineIO: pip install opentimelineio otio-cmx3600-adapter"
    run("show", "HEAD", "-o", "out.otio", cwd=work, env=env, check_status=0)  # .otio needs none


def test_commit_on_a_detached_head_is_refused_before_anything_is_stored(work):
    first = commit(work, "assembly.otio", "Assembly")
    (work / ".tesmo" / "HEAD").write_text(first + "\n")
    before = snapshot(work)
    assert one_error_line(run("commit", "recut.otio", "-m", "x", cwd=work)) == \
        "cannot commit while HEAD is detached"
    assert snapshot(work) == before


def test_interrupt_exits_130_quietly(work):
    os.mkfifo(work / "pipe.otio")  # opening it waits for a writer that never comes
    before = snapshot(work)
    process = subprocess.Popen(tesmo_command() + ["commit", "pipe.otio", "-m", "x"], cwd=work,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wchan = Path(f"/proc/{process.pid}/wchan")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and "partner" not in wchan.read_text():
        time.sleep(0.05)
    if "partner" not in wchan.read_text():
        process.kill()
        pytest.skip("cannot see the process wait on the pipe")
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert (process.returncode, stdout, stderr) == (130, "", "")
    assert snapshot(work) == before
