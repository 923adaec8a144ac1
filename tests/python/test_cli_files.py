"""The tesmo command's timeline files: plain-JSON .otio.json, files of
several timelines, adapter options and what an adapter's failure says, and
outputs that are FIFOs, devices, links, bundles or one file named twice."""

import fcntl
import json
import os
import socket
import stat
import subprocess

import pytest

import tesmo
from cli_support import diff_records, edits, frames_clip, one_error_line, run, snapshot, tesmo_command, write_json
from otio_support import timeline, track

ASSEMBLY = timeline(track("V1", frames_clip("intro", 48), frames_clip("interview", 120), frames_clip("outro", 24)))
RECUT = timeline(track("V1", frames_clip("interview", 96), frames_clip("intro", 48)))
DIFF = ["diff", "assembly.otio", "recut.otio", "-q"]
# An EDL cut at 25 fps: frame 24 exists only above 24 fps.
EDL_25 = """TITLE: cut25
001  AX  V  C  01:00:00:00 01:00:01:24 01:00:00:00 01:00:01:24
* FROM CLIP NAME: alpha.mov
002  AX  V  C  01:00:10:00 01:00:12:10 01:00:01:24 01:00:04:09
* FROM CLIP NAME: bravo.mov
"""
# At 24 fps, with bravo starting on the record side before alpha ends.
EDL_OVERLAP = EDL_25.replace(":24", ":20").replace("01:00:01:20 01:00:04:09", "01:00:01:00 01:00:03:10")


@pytest.fixture
def work(tmp_path):
    run("init", cwd=tmp_path, check_status=0)
    write_json(tmp_path / "assembly.otio", ASSEMBLY)
    write_json(tmp_path / "recut.otio", RECUT)
    (tmp_path / "cut25.edl").write_text(EDL_25)
    (tmp_path / "overlap.edl").write_text(EDL_OVERLAP)
    return tmp_path


def need(*plugins):
    for plugin in plugins:
        pytest.importorskip(plugin)
    return pytest.importorskip("opentimelineio")


@pytest.mark.parametrize("name", ["cut.otio.json", "CUT.OTIO.JSON"])
def test_otio_json_files_are_plain_json(work, name):
    document = dict(ASSEMBLY, metadata={"count": 3})
    write_json(work / name, document)
    run("commit", name, "-m", "x", cwd=work, check_status=0)
    assert tesmo.Repo.open(work).read_timeline("HEAD") == document
    run("show", "HEAD", "-o", "back." + name, cwd=work, check_status=0)
    assert (work / ("back." + name)).read_text() == run("show", "HEAD", cwd=work).stdout
    assert one_error_line(run("diff", "HEAD", "gone.otio.json", cwd=work)) == \
        "gone.otio.json: no such file, nor a ref of that name"


def reel():
    """A collection of two timelines, a and b, as OTIO JSON."""
    cuts = [dict(timeline(track("V1", *(frames_clip(n, 48) for n in names))), name=name)
            for name, names in (("a", "xy"), ("b", "yz"))]
    for cut in cuts:
        for item in cut["tracks"]["children"][0]["children"]:
            item["media_reference"]["available_range"] = item["source_range"]
    return {"OTIO_SCHEMA": "SerializableCollection.1", "name": "reel", "children": cuts}


CHOOSE = " (choose one with --timeline NAME or N: a, b)"


@pytest.mark.parametrize("suffix, plugin", [("otio", None), ("fcpxml", "otio_fcpx_xml_adapter"),
                                            ("xml", "otio_fcp_adapter")])
@pytest.mark.parametrize("choice, expected", [
    (None, "two.{}: holds 2 timelines, expected one" + CHOOSE), ("b", "b"), ("1", "a"),
    ("3", "two.{}: holds no timeline number 3, counting from 1" + CHOOSE),
    ("c", "two.{}: holds no timeline named c" + CHOOSE),
])
def test_timeline_chooses_among_those_a_file_holds(work, suffix, plugin, choice, expected):
    write_json(work / "two.otio", reel())
    write_json(work / "b.otio", reel()["children"][1])
    if plugin:
        otio = need(plugin)
        for name in ("two", "b"):
            otio.adapters.write_to_file(otio.adapters.read_from_file(str(work / f"{name}.otio")),
                                        str(work / f"{name}.{suffix}"))
    args = ["commit", f"two.{suffix}", "-m", "x"] + (["--timeline", choice] if choice else [])
    result = run(*args, cwd=work)
    if expected.startswith("two."):
        assert one_error_line(result) == expected.format(suffix)
        return
    committed = tesmo.Repo.open(work).read_timeline(result.stdout.strip())
    assert committed["name"] == expected
    assert [c["name"] for c in committed["tracks"]["children"][0]["children"]
            if c["OTIO_SCHEMA"].startswith("Clip")] == list({"a": "xy", "b": "yz"}[expected])
    # A file of one timeline is read as it is, whatever --timeline says.
    records = diff_records(f"two.{suffix}", f"b.{suffix}", "--timeline", choice, cwd=work)
    assert (edits(records) == []) is (expected == "b")


@pytest.mark.parametrize("text, message", [
    ('{"n": ' + "7" * 4301 + "}", "cut.otio: cannot read: a number has more than 4300 digits"),
    ("[" * 100_000 + "]" * 100_000, "cut.otio: cannot read: the JSON is nested too deeply"),
], ids=["4301-digits", "nested-100000-deep"])
def test_json_python_cannot_read_is_one_line(work, text, message):
    (work / "cut.otio").write_text(text)
    for args in (["commit", "cut.otio", "-m", "x"], ["diff", "cut.otio", "assembly.otio"]):
        assert one_error_line(run(*args, cwd=work)) == message


def test_what_the_output_encoding_cannot_hold_is_escaped(work):
    write_json(work / "intl.otio", timeline(track("V1", frames_clip("café", 48), frames_clip("🎬", 24))))
    args, ascii_env = ["diff", "assembly.otio", "intl.otio"], {"PYTHONIOENCODING": "ascii"}
    text = run(*args, cwd=work, env=ascii_env)
    assert (text.returncode, text.stderr) == (1, "")
    assert "caf\\u00e9" in text.stdout and "\\ud83c\\udfac" in text.stdout
    assert json.loads(run(*args, "--json", cwd=work, env=ascii_env).stdout) == \
        json.loads(run(*args, "--json", cwd=work).stdout)


def test_a_non_utf8_file_name_shows_in_the_report(work):
    (work / os.fsdecode(b"caf\xe9.otio")).write_text(json.dumps(ASSEMBLY))
    result = subprocess.run(tesmo_command() + [b"diff", b"caf\xe9.otio", b"recut.otio", b"-q",
                                               b"--html", b"r\xff.html"],
                            cwd=work, capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (1, b"")
    page = (work / os.fsdecode(b"r\xff.html")).read_text(encoding="utf-8")
    assert "caf\ufffd.otio \u2192 recut.otio" in page


@pytest.mark.parametrize("text, value", [("25", 25), ("23.976", 23.976), ("true", True),
                                         ('"25"', "25"), ("avid", "avid"), ("a=b", "a=b")])
def test_option_values_read_as_json_else_as_text(text, value):
    from tesmo_cli.files import adapter_option

    assert [(key, parsed, type(parsed)) for key, parsed in [adapter_option("k=" + text)]] == \
        [("k", value, type(value))]


RATE_HINT = ("cut25.edl: cannot read as cmx_3600: ValueError: Frame rate mismatch. Timecode "
             "'01:00:01:24' has frames beyond 23 (for another rate, try --adapter-option rate=25)")


@pytest.mark.parametrize("args, status", [
    (["commit", "cut25.edl", "-m", "x"], 0), (["diff", "HEAD", "cut25.edl"], 1),
    (["diff", "cut25.edl", "cut25.edl", "--annotate", "marked.edl"], 0),
])
def test_an_edl_at_25_fps_reads_with_its_rate(work, args, status):
    otio = need("otio_cmx3600_adapter")
    run("commit", "assembly.otio", "-m", "x", cwd=work, check_status=0)
    assert one_error_line(run(*args, cwd=work)) == RATE_HINT
    run(*args, "--adapter-option", "rate=25", cwd=work, check_status=status)
    at_25 = otio.adapters.read_from_file(str(work / "cut25.edl"), rate=25)
    if args[0] == "commit":
        assert tesmo.Repo.open(work).read_timeline("HEAD") == json.loads(at_25.to_json_string())
        run("show", "HEAD", "-o", "back.edl", "--adapter-option", "rate=25", cwd=work, check_status=0)
        assert edits(diff_records("HEAD", "back.edl", "--adapter-option", "rate=25", cwd=work)) == []
    if "--annotate" in args:
        marked = otio.adapters.read_from_file(str(work / "marked.edl"), rate=25)
        assert [c.source_range for c in marked.find_clips()] == \
            [c.source_range for c in at_25.find_clips()]


FAILURES = [
    (["commit", "cut25.edl", "-m", "x", "--adapter-option", "rate=25", "--adapter-option", "speed=2"],
     "cut25.edl: the cmx_3600 adapter takes no option speed when reading "
     "(it takes: rate, ignore_timecode_mismatch)"),
    (["show", "HEAD", "-o", "out.xml", "--adapter-option", "rate=25"],
     "out.xml: the fcp_xml adapter takes no option rate when writing (it takes none)"),
    (["commit", "overlap.edl", "-m", "x"],
     "overlap.edl: cannot read as cmx_3600: EDLParseError: Overlapping record in value: 01:00:01:00 "
     "for clip bravo.mov (to read it anyway, try --adapter-option ignore_timecode_mismatch=true)"),
    (["commit", "cut25.edl", "-m", "x", "--adapter-option", "rate=abc"],
     "cut25.edl: cannot read as cmx_3600 with --adapter-option rate=abc: ValueError: could not "
     "convert string to float: 'abc' (check the options and that it is a complete .edl file; "
     "the cmx_3600 adapter takes --adapter-option rate, ignore_timecode_mismatch)"),
    (["show", "HEAD", "-o", "out.edl"],
     "out.edl: cannot write as cmx_3600: NotSupportedError: Only a single video track is "
     "supported, got: 2 (an .otio file holds any timeline; the cmx_3600 adapter takes "
     "--adapter-option rate, style, reelname_len)"),
    (["show", "HEAD", "-o", "out.otioz"],
     "out.otioz: cannot write as otioz: NotAFileOnDisk: /media/a.mov (to bundle without "
     "the media files, try --adapter-option media_policy=MissingIfNotFile)"),
]
# What a hint offers does mend the file. The bundle adapters compare the
# media policy with "is": the text from the command line must still match.
MENDS = {"overlap.edl": "ignore_timecode_mismatch=true", "out.otioz": "media_policy=MissingIfNotFile"}


@pytest.mark.parametrize("args, message", FAILURES, ids=[" ".join(a) for a, _ in FAILURES])
def test_each_adapter_failure_is_one_line_with_what_to_try(work, args, message):
    need("otio_cmx3600_adapter", "otio_fcp_adapter")
    write_json(work / "two.otio", timeline(track("V1", frames_clip("a", 24, media="/media/a.mov")),
                                           track("V2", frames_clip("b", 24))))
    run("commit", "two.otio", "-m", "two tracks", cwd=work, check_status=0)
    before = snapshot(work)
    assert one_error_line(run(*args, cwd=work)) == message
    assert snapshot(work) == before
    mend = next((MENDS[arg] for arg in args if arg in MENDS), None)
    if mend:
        run(*args, "--adapter-option", mend, cwd=work, check_status=0)


@pytest.mark.parametrize("suffix", ["otioz", "otiod"])
def test_bundles_are_written_under_a_fresh_name(work, suffix):
    otio = need()
    (work / "media").mkdir()
    for name in ("a", "b"):
        (work / "media" / f"{name}.mov").write_bytes(b"frames")
    write_json(work / "cut.otio", timeline(track("V1", *(frames_clip(n, 24, media=str(work / "media" / f"{n}.mov"))
                                                         for n in ("a", "b")))))
    run("commit", "cut.otio", "-m", "x", cwd=work, check_status=0)
    run("show", "HEAD", "-o", f"cut.{suffix}", cwd=work, check_status=0)
    again = run("diff", "HEAD", "HEAD", "--annotate", f"cut.{suffix}", cwd=work)
    if suffix == "otiod":  # a directory is not replaced
        assert one_error_line(again) == ("cut.otiod: already exists; a .otiod bundle is a new "
                                         "directory and replaces nothing (remove it or choose "
                                         "another name)")
    else:
        assert again.returncode == 0, again.stderr
    bundled = otio.adapters.read_from_file(str(work / f"cut.{suffix}"))
    assert [c.name for c in bundled.find_clips()] == ["a", "b"]
    assert not [p for p in work.iterdir() if p.name.startswith(".tesmo-")]


DEVICES = {"null": (1, 3), "full": (1, 7)}


@pytest.fixture
def device(tmp_path_factory):
    """A null or full character device. As root, a node of our own, so that
    a command that replaced its output could not replace the system's; for
    anyone else the one in /dev, which they cannot replace."""

    def make(name):
        if os.geteuid() != 0:
            return f"/dev/{name}"
        node = tmp_path_factory.mktemp("dev") / name
        try:
            os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(*DEVICES[name]))
            os.close(os.open(node, os.O_WRONLY))
        except OSError as error:  # no mknod here, or a nodev file system
            pytest.skip(f"cannot make a {name} device: {error}")
        return str(node)

    return make


@pytest.mark.parametrize("option, regular", [("--html", "page.html"), ("--annotate", "marked.otio")])
@pytest.mark.parametrize("node", ["fifo", "null", "full"])
def test_a_fifo_or_device_is_written_through_and_stays(work, tmp_path_factory, device, option,
                                                       regular, node):
    run(*DIFF, option, regular, cwd=work, check_status=1)
    expected = (work / regular).read_bytes()
    (work / regular).unlink()
    private = tmp_path_factory.mktemp("tmp")
    env = {"TMPDIR": str(private)}
    if node == "fifo":
        os.mkfifo(work / node)
    before = snapshot(work)
    if node == "fifo":
        reader = os.open(work / node, os.O_RDONLY | os.O_NONBLOCK)
        # Room for all of it (F_SETPIPE_SZ, which Python names from 3.10 on).
        fcntl.fcntl(reader, getattr(fcntl, "F_SETPIPE_SZ", 1031), 1 << 20)
        # Without an extension, an annotated timeline is OTIO JSON.
        result = run(*DIFF, option, node, cwd=work, env=env)
        assert (result.returncode, os.read(reader, 1 << 20)) == (1, expected), result.stderr
        os.close(reader)
    else:
        path = device(node)
        result = run(*DIFF, option, path, cwd=work, env=env)
        if node == "full":
            assert one_error_line(result) == f"{path}: cannot write: No space left on device"
        else:
            assert result.returncode == 1, result.stderr
        status = os.lstat(path)
        assert stat.S_ISCHR(status.st_mode) and status.st_rdev == os.makedev(*DEVICES[node])
    assert snapshot(work) == before and list(private.iterdir()) == []


@pytest.mark.parametrize("old", [b"old report", None])
def test_a_linked_output_replaces_the_target_and_keeps_the_link(work, old):
    (work / "reports").mkdir()
    if old is not None:
        (work / "reports" / "page.html").write_bytes(old)
    (work / "page.html").symlink_to("reports/page.html")
    run(*DIFF, "--html", "page.html", cwd=work, check_status=1)
    assert os.readlink(work / "page.html") == "reports/page.html"
    assert (work / "reports" / "page.html").read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert [p.name for p in (work / "reports").iterdir()] == ["page.html"]


ONE_FILE = "each output needs a file of its own"


@pytest.mark.parametrize("annotate, html, message", [
    ("x.otio", "x.otio", "x.otio: given for two outputs; each needs a file of its own"),
    ("./x.otio", "x.otio", f"./x.otio and x.otio are one file; {ONE_FILE}"),
    ("x.otio", "link.otio", f"x.otio and link.otio are one file; {ONE_FILE}"),
    ("hard.otio", "x.otio", f"hard.otio and x.otio are one file; {ONE_FILE}"),
    ("null", "null", "{null}: given for two outputs; each needs a file of its own"),
    ("loop.otio", "r.html", "loop.otio: cannot write: Too many levels of symbolic links"),
    ("m.otio", "dir.html", "dir.html: cannot write: Is a directory"),
    ("m.otio", "socket.html", "socket.html: cannot write: not a regular file, FIFO or character device"),
])
def test_outputs_that_cannot_be_written_are_refused_before_any_is(work, device, annotate, html,
                                                                 message):
    if annotate == "null":
        annotate = html = device("null")
        message = message.format(null=annotate)
    (work / "x.otio").write_text("old")
    (work / "link.otio").symlink_to("x.otio")
    os.link(work / "x.otio", work / "hard.otio")
    (work / "loop.otio").symlink_to("loop.otio")
    (work / "dir.html").mkdir()
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(work / "socket.html"))
        before = snapshot(work)
        assert one_error_line(run(*DIFF, "--annotate", annotate, "--html", html, cwd=work)) == message
        assert snapshot(work) == before
