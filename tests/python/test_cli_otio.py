"""The tesmo command on EDL, FCP XML, FCPXML and OTIO files made with
OpenTimelineIO's API and adapters."""

import json
import os
import pty
import subprocess

import pytest

import tesmo
from cli_support import one_error_line, run, tesmo_command

otio = pytest.importorskip("opentimelineio")

RATE = 24
NAMES = ["alpha", "bravo", "charlie", "delta", "echo"]


def frames(count):
    return otio.opentime.RationalTime(count, RATE)


def span(start, duration):
    return otio.opentime.TimeRange(frames(start), frames(duration))


def shot(name, start, duration, media=None):
    reference = otio.schema.ExternalReference(target_url=media or f"/media/{name}.mov",
                                              available_range=span(0, 5000))
    return otio.schema.Clip(name=name, media_reference=reference, source_range=span(start, duration))


def cut():
    timeline = otio.schema.Timeline(name="cut", global_start_time=frames(86400))
    picture = otio.schema.Track(name="V1")
    for number, name in enumerate(NAMES):
        picture.append(shot(name, 100 * number + 10, 48))
    timeline.tracks.append(picture)
    return timeline


def find(timeline, name):
    return next(clip for clip in timeline.find_clips() if clip.name == name)


def trim(timeline):
    clip = find(timeline, "bravo")
    clip.source_range = span(clip.source_range.start_time.value + 6, 36)


def move(timeline):
    picture = timeline.tracks[0]
    picture.insert(3, picture.pop(0))


def replace(timeline):
    find(timeline, "charlie").media_reference = otio.schema.ExternalReference(
        target_url="/media/charlie_v2.mov", available_range=span(0, 5000))


def delete(timeline):
    timeline.tracks[0].remove(find(timeline, "delta"))


def insert(timeline):
    timeline.tracks[0].insert(2, shot("foxtrot", 5, 30))


def transition(timeline):
    picture = timeline.tracks[0]
    picture.insert(picture.index(find(timeline, "charlie")) + 1, otio.schema.Transition(
        name="dissolve", transition_type="SMPTE_Dissolve", in_offset=frames(6), out_offset=frames(6)))


def effect(timeline):
    find(timeline, "echo").effects.append(otio.schema.LinearTimeWarp(time_scalar=2.0))


EDITS = {trim: ["trimmed"], move: ["moved"], replace: ["replaced"], delete: ["removed"],
         insert: ["added"], transition: ["transition_added"], effect: ["effects_changed"]}
# What a format cannot carry: EDL writes a dissolve as an extra event, FCP
# XML drops a speed change, FCPXML both.
NOT_CARRIED = {("edl", transition), ("xml", effect), ("fcpxml", transition), ("fcpxml", effect)}
ADAPTERS = {"edl": "otio_cmx3600_adapter", "xml": "otio_fcp_adapter",
            "fcpxml": "otio_fcpx_xml_adapter", "otio": None}


def need_adapter(suffix):
    if ADAPTERS[suffix]:
        pytest.importorskip(ADAPTERS[suffix])


def export(timeline, path):
    otio.adapters.write_to_file(timeline, str(path))
    return path


def adapter_read(path):
    """The document the command should read: .otio as plain JSON, the rest
    through the adapters."""
    if str(path).endswith(".otio"):
        return json.loads(path.read_text())
    return json.loads(otio.adapters.read_from_file(str(path)).to_json_string())


@pytest.mark.parametrize("suffix", ["otio", "edl", "xml", "fcpxml"])
@pytest.mark.parametrize("edit", list(EDITS), ids=[edit.__name__ for edit in EDITS])
def test_an_edit_gives_its_change_and_the_module_payloads(tmp_path, suffix, edit):
    need_adapter(suffix)
    if (suffix, edit) in NOT_CARRIED:
        pytest.skip(f".{suffix} does not carry this edit")
    after = cut()
    edit(after)
    old = export(cut(), tmp_path / f"old.{suffix}")
    new = export(after, tmp_path / f"new.{suffix}")
    result = run("diff", old.name, new.name, "--json", cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    payloads = json.loads(result.stdout)
    assert [p["op"] for p in payloads] == EDITS[edit]
    assert payloads == [c.to_dict() for c in tesmo.diff(adapter_read(old), adapter_read(new))]
    assert run("diff", old.name, old.name, cwd=tmp_path).returncode == 0


def recut(timeline):
    for edit in (trim, move, replace, delete, insert):
        edit(timeline)


def test_two_edl_exports_give_a_readable_change_list(tmp_path):
    need_adapter("edl")
    after = cut()
    recut(after)
    export(cut(), tmp_path / "v1.edl")
    export(after, tmp_path / "v2.edl")
    result = run("diff", "v1.edl", "v2.edl", cwd=tmp_path)
    assert result.returncode == 1
    expected = [c.to_dict() for c in tesmo.diff(adapter_read(tmp_path / "v1.edl"),
                                                adapter_read(tmp_path / "v2.edl"))]
    lines = result.stdout.splitlines()
    # A heading for the track, one line per change, then the summary.
    assert len(lines) == 1 + len(expected) + 1
    body = "\n".join(lines[1:-1])
    # bravo: 48 -> 36 frames at 24 fps, 6 frames off the head and 6 off the tail.
    assert "bravo" in body and "48 -> 36 frames (00:00:02:00 -> 00:00:01:12)" in body
    assert "head +6" in body and "tail -6" in body
    assert "/media/charlie.mov -> /media/charlie_v2.mov" in body
    assert "delta" in body and "foxtrot" in body
    assert lines[-1].startswith(f"{len(expected)} changes: ")


def test_committed_exports_and_show_in_another_format(tmp_path):
    need_adapter("edl")
    run("init", cwd=tmp_path, check_status=0)
    export(cut(), tmp_path / "cut.edl")
    commit_id = run("commit", "cut.edl", "-m", "from the EDL", cwd=tmp_path,
                    check_status=0).stdout.strip()
    assert tesmo.Repo.open(tmp_path).read_timeline(commit_id) == adapter_read(tmp_path / "cut.edl")
    run("show", "HEAD", "-o", "back.edl", cwd=tmp_path, check_status=0)
    assert [c.name for c in otio.adapters.read_from_file(str(tmp_path / "back.edl")).find_clips()] \
        == NAMES
    assert run("diff", "HEAD", "back.edl", cwd=tmp_path).returncode == 0
    # A format that cannot hold the timeline fails and leaves no file.
    two_tracks = cut()
    two_tracks.tracks.append(otio.schema.Track(name="V2"))
    two_tracks.tracks[1].append(shot("title", 0, 24))
    export(two_tracks, tmp_path / "two.otio")
    run("commit", "two.otio", "-m", "titles", cwd=tmp_path, check_status=0)
    message = one_error_line(run("show", "HEAD", "-o", "fails.edl", cwd=tmp_path))
    assert message.startswith("fails.edl: cannot write as cmx_3600: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == [".tesmo", "back.edl", "cut.edl", "two.otio"]


def test_a_missing_adapter_plugin_is_named_with_its_package(tmp_path):
    need_adapter("edl")
    export(cut(), tmp_path / "cut.edl")
    # With entry-point plugins off, OpenTimelineIO sees no installed plugin.
    result = run("diff", "cut.edl", "cut.edl", cwd=tmp_path,
                 env={"OTIO_DISABLE_ENTRYPOINTS_PLUGINS": "1"})
    assert one_error_line(result) == "no OpenTimelineIO adapter for .edl files: pip install otio-cmx3600-adapter"


def two_track_cuts():
    before = cut()
    titles = otio.schema.Track(name="V2")
    titles.append(shot("main_title", 0, 72))
    before.tracks.append(titles)
    after = cut()
    recut(after)
    transition(after)
    effect(after)
    music = otio.schema.Track(name="A1", kind=otio.schema.TrackKind.Audio)
    music.append(shot("score", 0, 240))
    after.tracks.append(music)
    return before, after


def payload(marker):
    """The change a marker carries, as plain JSON."""
    return json.loads(marker.to_json_string())["metadata"].get("tesmo")


def markers_of(timeline):
    """(where, marker) for every marker: a clip's name, a track's or the stack."""
    found = [("stack", m) for m in timeline.tracks.markers]
    for track in timeline.tracks:
        found += [(f"track {track.name}", m) for m in track.markers]
        found += [(clip.name, m) for clip in track.find_clips() for m in clip.markers]
    return found


def test_annotate_marks_each_change_on_its_clip(tmp_path):
    before, after = two_track_cuts()
    export(before, tmp_path / "old.otio")
    export(after, tmp_path / "new.otio")
    result = run("diff", "old.otio", "new.otio", "--annotate", "marked.otio", "--json", cwd=tmp_path)
    assert result.returncode == 1
    payloads = json.loads(result.stdout)
    assert sorted(p["op"] for p in payloads) == sorted(
        ["trimmed", "moved", "replaced", "removed", "added", "transition_added", "effects_changed",
         "track_removed", "track_added"])
    marked = otio.adapters.read_from_file(str(tmp_path / "marked.otio"))
    markers = markers_of(marked)
    where = {json.dumps(payload(m), sort_keys=True): (place, m) for place, m in markers}
    assert len(where) == len(payloads)
    colours = set()
    for change in payloads:
        place, marker = where[json.dumps(change, sort_keys=True)]
        colours.add(marker.color)
        assert marker.name and marker.comment
        if change["op"] in ("trimmed", "moved", "replaced", "added", "effects_changed"):
            assert place == change["clip"]["name"]
    assert len(colours) == len(payloads)  # one colour per kind here
    places = {json.loads(key)["op"]: place for key, (place, _) in where.items()}
    assert places["removed"] == "echo"  # delta left the place before echo
    assert places["transition_added"] == "charlie"
    assert places["track_removed"] == "stack"
    assert places["track_added"] == "track A1"
    # The marked timeline is the new one, markers aside.
    assert [c.name for c in marked.find_clips()] == [c.name for c in after.find_clips()]


@pytest.mark.parametrize("suffix, keeps_colour", [("edl", True), ("xml", False)])
def test_annotation_markers_survive_the_adapters(tmp_path, suffix, keeps_colour):
    need_adapter(suffix)
    after = cut()
    recut(after)
    export(cut(), tmp_path / "old.otio")
    export(after, tmp_path / "new.otio")
    run("diff", "old.otio", "new.otio", "--annotate", "marked.otio", cwd=tmp_path, check_status=1)
    run("diff", "old.otio", "new.otio", "--annotate", f"marked.{suffix}", cwd=tmp_path, check_status=1)
    # EDL upper-cases a marker's name; FCP XML has no marker colours.
    def seen(name):
        markers = markers_of(otio.adapters.read_from_file(str(tmp_path / name)))
        return [(place, m.name.upper(), m.color if keeps_colour else None) for place, m in markers]

    expected, read_back = seen("marked.otio"), seen(f"marked.{suffix}")
    assert len(expected) == 5
    assert sorted(read_back) == sorted(expected)


def history(tmp_path):
    """Four commits: the cut, a trim of bravo, new media for charlie, a move of alpha.
    Returns their ids, oldest first."""
    run("init", cwd=tmp_path, check_status=0)
    timeline = cut()
    ids = []
    for edit, message in [(None, "assembly"), (trim, "trim bravo"), (replace, "charlie v2"),
                          (move, "alpha later")]:
        if edit:
            edit(timeline)
        export(timeline, tmp_path / "cut.otio")
        ids.append(run("commit", "cut.otio", "-m", message, cwd=tmp_path, check_status=0).stdout.strip())
    return ids


@pytest.mark.parametrize("clip, track, expected", [
    ("bravo", None, [(1, ["trimmed"]), (0, ["added"])]),
    ("charlie", None, [(2, ["replaced"]), (0, ["added"])]),
    ("alpha", "V1", [(3, ["moved"]), (0, ["added"])]),
    ("alpha", "A9", []),
    ("nobody", None, []),
])
def test_log_clip_lists_the_commits_that_change_it(tmp_path, clip, track, expected):
    ids = history(tmp_path)
    args = ["log", "--clip", clip] + (["--track", track] if track else [])
    found = json.loads(run(*args, "--json", cwd=tmp_path, check_status=0).stdout)
    assert [(entry["id"], [c["op"] for c in entry["changes"]]) for entry in found] == \
        [(ids[number], ops) for number, ops in expected]
    for entry in found:
        assert all(c["clip"]["name"] == clip for c in entry["changes"])
    # -n counts the commits listed: a heading each, then its changes.
    for count in (0, 1):
        lines = run(*args, "-n", count, cwd=tmp_path, check_status=0).stdout.splitlines()
        headings = [line.split()[0] for line in lines if not line.startswith(" ")]
        assert headings == [ids[n][7:19] for n, _ in expected[:count]]
        assert len(lines) == sum(1 + len(ops) for _, ops in expected[:count])


def test_log_clip_shows_progress_only_on_a_terminal(tmp_path):
    history(tmp_path)
    piped = run("log", "--clip", "bravo", cwd=tmp_path, check_status=0)
    assert piped.stderr == ""
    leader, follower = pty.openpty()
    process = subprocess.run(tesmo_command() + ["log", "--clip", "bravo"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=follower, timeout=60)
    os.close(follower)
    shown = os.read(leader, 4096).decode()
    os.close(leader)
    assert process.returncode == 0
    assert "4/4 commits" in shown
    assert process.stdout.decode() == piped.stdout


@pytest.mark.parametrize("suffix", ["otio", "edl"])
def test_html_report_is_the_page_of_the_two_files(tmp_path, suffix):
    from tesmo_cli import render_report

    need_adapter(suffix)
    after = cut()
    recut(after)
    old, new = export(cut(), tmp_path / f"old.{suffix}"), export(after, tmp_path / f"new.{suffix}")
    run("diff", old.name, new.name, "-q", "--html", "report.html", cwd=tmp_path, check_status=1)
    assert (tmp_path / "report.html").read_text(encoding="utf-8") == render_report(
        adapter_read(old), adapter_read(new), before_label=old.name, after_label=new.name)


def test_an_ale_clip_list_is_committed_as_one_track(tmp_path):
    pytest.importorskip("otio_ale_adapter")
    clips = otio.schema.SerializableCollection(name="dailies")
    for number, name in enumerate(NAMES):
        clips.append(shot(name, 100 * number, 48))
    export(clips, tmp_path / "dailies.ale")
    run("init", cwd=tmp_path, check_status=0)
    run("commit", "dailies.ale", "-m", "dailies", cwd=tmp_path, check_status=0)
    shown = otio.adapters.read_from_string(run("show", "HEAD", cwd=tmp_path).stdout, "otio_json")
    assert [[clip.name for clip in track] for track in shown.tracks] == [NAMES]
