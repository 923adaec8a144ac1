"""The tesmo command on EDL, FCP XML, FCPXML and OTIO files made with
OpenTimelineIO's API and adapters."""

import copy
import json
import os
import pty
import subprocess

import pytest

import tesmo
import tesmo_cli
from cli_support import diff_records, edits, one_error_line, run, tesmo_command
from tesmo_cli.changes import describe
from tesmo_cli.kinds import BY_OP

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
         insert: ["added"], transition: ["transition_added"], effect: ["retimed"]}
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
def test_an_edit_gives_its_record_and_basic_the_module_payloads(tmp_path, suffix, edit):
    need_adapter(suffix)
    if (suffix, edit) in NOT_CARRIED:
        pytest.skip(f".{suffix} does not carry this edit")
    after = cut()
    edit(after)
    old = export(cut(), tmp_path / f"old.{suffix}")
    new = export(after, tmp_path / f"new.{suffix}")
    records = diff_records(old.name, new.name, cwd=tmp_path, status=1)
    assert [r["op"] for r in edits(records)] == EDITS[edit]
    assert records == tesmo_cli.compare(adapter_read(old), adapter_read(new))
    basic = run("diff", old.name, new.name, "--basic", "--json", cwd=tmp_path)
    assert json.loads(basic.stdout) == [c.to_dict() for c in tesmo.diff(adapter_read(old),
                                                                          adapter_read(new))]
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
    records = tesmo_cli.compare(adapter_read(tmp_path / "v1.edl"), adapter_read(tmp_path / "v2.edl"))
    lines = result.stdout.splitlines()
    # A heading for the track (the EDL adapter names it V), a line per
    # record, then the summary.
    assert len(lines) == 1 + len(records) + 1
    assert lines[0] == "V1 `V`"
    # bravo: 48 -> 36 frames at 24 fps, 6 frames off the head and 6 off the tail.
    for line in ["  clip 1 `bravo`    trimmed head -6, tail -6: 48 -> 36 frames (00:00:02:00 -> 00:00:01:12)",
                 "  clip 4 `delta`    removed, was at 00:00:06:00, /media/delta.mov",
                 "  clip 3 `foxtrot`  added at 00:00:03:12, /media/foxtrot.mov",
                 "  clip 4 `alpha`    moved from position 1, now at 00:00:04:18"]:
        assert line in lines
    assert "charlie_v2.mov" in result.stdout
    assert lines[-1].startswith(f"{len(records)} changes: 1 trimmed, 1 moved, ")


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


def clips_of(track):
    """A track's direct clips: what a record's position counts."""
    return [item for item in track if isinstance(item, otio.schema.Clip)]


def labelled(timeline):
    """The top-level tracks by label: V1, V2, A1, ..."""
    counts, found = {}, {}
    for track in timeline.tracks:
        letter = {"Video": "V", "Audio": "A"}.get(track.kind, "O")
        counts[letter] = counts.get(letter, 0) + 1
        found[f"{letter}{counts[letter]}"] = track
    return found


def markers_of(timeline):
    """(where, marker) for every marker: ("stack",), (label,) for a track,
    (label, position) for a clip."""
    found = [(("stack",), m) for m in timeline.tracks.markers]
    for label, track in labelled(timeline).items():
        found += [((label,), m) for m in track.markers]
        found += [((label, number), m) for number, clip in enumerate(clips_of(track))
                  for m in clip.markers]
    return found


def record_of(marker):
    return json.loads(marker.to_json_string())["metadata"].get("tesmo")


def test_annotate_puts_one_marker_per_record_where_it_says(tmp_path):
    before, after = two_track_cuts()
    export(before, tmp_path / "old.otio")
    export(after, tmp_path / "new.otio")
    records = diff_records("old.otio", "new.otio", "--annotate", "marked.otio", cwd=tmp_path, status=1)
    assert {"trimmed", "moved", "removed", "added", "transition_added", "retimed", "track_removed",
            "track_added"} <= {r["op"] for r in records}
    marked = otio.adapters.read_from_file(str(tmp_path / "marked.otio"))
    markers = markers_of(marked)
    assert sorted(json.dumps(record_of(m), sort_keys=True) for _, m in markers) == \
        sorted(json.dumps(r, sort_keys=True) for r in records)
    for where, marker in markers:
        record = record_of(marker)
        op = record["op"]
        assert (marker.color, marker.comment) == (BY_OP[op].marker, describe(record))
        assert marker.name == marker.comment[:80] or marker.name == marker.comment[:77] + "..."
        if op == "track_removed":
            assert where == ("stack",)
        elif op == "track_added":
            assert where == (record["after_track"],)
        elif op.startswith("transition_"):
            assert where == (record["after_track"], record["after_index"] - 1)
        elif op == "removed":
            assert where[0] == record["after_track"] and len(where) == 2
        else:
            assert where == (record["after_track"], record["after_index"])
    # A removed clip is marked on the clip that now stands where it started.
    delta = next(r for r in records if r["op"] == "removed" and r["name"] == "delta")
    at = next(where for where, m in markers if record_of(m) == delta)
    assert clips_of(labelled(marked)[at[0]])[at[1]].name == "alpha"
    # The marked timeline is the new one, markers aside.
    assert [c.name for c in marked.find_clips()] == [c.name for c in after.find_clips()]


@pytest.mark.parametrize("suffix, keeps_colour", [("edl", True), ("xml", False)])
def test_annotation_markers_survive_the_adapters(tmp_path, suffix, keeps_colour):
    need_adapter(suffix)
    after = cut()
    recut(after)
    export(cut(), tmp_path / "old.otio")
    export(after, tmp_path / "new.otio")
    records = diff_records("old.otio", "new.otio", "--annotate", "marked.otio", cwd=tmp_path, status=1)
    run("diff", "old.otio", "new.otio", "--annotate", f"marked.{suffix}", cwd=tmp_path, check_status=1)
    # EDL upper-cases a marker's name; FCP XML has no marker colours.
    def seen(name):
        markers = markers_of(otio.adapters.read_from_file(str(tmp_path / name)))
        return [(where, m.name.upper(), m.color if keeps_colour else None) for where, m in markers]

    expected, read_back = seen("marked.otio"), seen(f"marked.{suffix}")
    assert len(expected) == len(records)
    assert sorted(read_back) == sorted(expected)


def interview_cut(edited):
    """Six clips of one file, all named after it, as an NLE exports them;
    edited: the second removed, the fourth relinked, the last two swapped."""
    timeline = otio.schema.Timeline(name="interview", global_start_time=frames(86400))
    clips = [shot("interview.mov", 100 * n, 48, media="/media/interview.mov") for n in range(6)]
    if edited:
        del clips[1]
        clips[2].media_reference = otio.schema.ExternalReference(
            target_url="/media/interview_v2.mov", available_range=span(0, 5000))
        clips[3], clips[4] = clips[4], clips[3]
    timeline.tracks.append(otio.schema.Track(name="", children=clips))
    return timeline


def test_repeated_clip_names_read_as_one_removal_relink_and_move(tmp_path):
    need_adapter("xml")
    export(interview_cut(False), tmp_path / "old.xml")
    export(interview_cut(True), tmp_path / "new.xml")
    records = edits(diff_records("old.xml", "new.xml", "--annotate", "marked.otio", cwd=tmp_path,
                                 status=1))
    assert [r["op"] for r in records] == ["removed", "replaced", "moved"]
    removed, replaced, moved = records
    assert (removed["before_index"], removed["after_index"]) == (1, None)
    assert (replaced["before_index"], replaced["after_index"]) == (3, 2)
    assert replaced["after_media"].endswith("/media/interview_v2.mov")
    # Either of the swapped clips explains the new order.
    assert (moved["before_index"], moved["after_index"]) in [(5, 3), (4, 4)]
    # The text list: one line for each.
    text = run("diff", "old.xml", "new.xml", cwd=tmp_path, check_status=1).stdout.splitlines()
    assert text[0] == "V1"
    assert [line for line in text[1:-1] if "metadata changed" not in line] == [
        "  clip 2 `interview.mov`  removed, was at 00:00:02:00, /media/interview.mov",
        "  clip 3 `interview.mov`  replaced: /media/interview.mov -> "
        "/media/interview_v2.mov",
        f"  clip {moved['after_index'] + 1} `interview.mov`  moved from position "
        f"{moved['before_index'] + 1}, now at {'00:00:06:00' if moved['after_index'] == 3 else '00:00:08:00'}"]
    # The markers: the removed clip's on the clip now at its place (the one
    # that followed it), the others' on their clips.
    marked = otio.adapters.read_from_file(str(tmp_path / "marked.otio"))
    places = {record_of(m)["op"]: (where, m.marked_range) for where, m in markers_of(marked)}
    assert places["removed"] == (("V1", 1), span(200, 48))
    assert places["replaced"] == (("V1", 2), span(300, 48))
    assert places["moved"][0] == ("V1", moved["after_index"])


def test_fcp_xml_clip_ids_are_not_changes(tmp_path):
    need_adapter("xml")
    export(interview_cut(False), tmp_path / "old.xml")
    export(interview_cut(True), tmp_path / "new.xml")
    records = diff_records("old.xml", "new.xml", cwd=tmp_path, status=1)
    assert [r["op"] for r in records] == ["removed", "replaced", "moved"]


def layered_cut(trimmed):
    """Four video and two audio tracks, none named, as FCP XML exports them,
    with the same three clip names on each; trimmed: a clip on V2, V4 and A2."""
    timeline = otio.schema.Timeline(name="layers", global_start_time=frames(86400))
    for kind, count in ((otio.schema.TrackKind.Video, 4), (otio.schema.TrackKind.Audio, 2)):
        for number in range(count):
            timeline.tracks.append(otio.schema.Track(name="", kind=kind, children=[
                shot(f"take {take}", 10 * take, 48, media=f"/media/{kind}{number}_{take}.mov")
                for take in (1, 2, 3)]))
    if trimmed:
        video, audio = timeline.video_tracks(), timeline.audio_tracks()
        for track, take, start, duration in ((video[1], 1, 20, 40), (video[3], 0, 14, 44),
                                             (audio[1], 2, 30, 60)):
            track[take].source_range = span(start, duration)
    return timeline


def test_trims_on_unnamed_tracks_are_listed_under_their_labels(tmp_path):
    need_adapter("xml")
    export(layered_cut(False), tmp_path / "old.xml")
    export(layered_cut(True), tmp_path / "new.xml")
    assert all(track.name == "" for track in otio.adapters.read_from_file(str(tmp_path / "new.xml")).tracks)
    result = run("diff", "old.xml", "new.xml", cwd=tmp_path, check_status=1)
    assert result.stdout == (
        "V2\n"
        "  clip 2 `take 2`  trimmed tail -8: 48 -> 40 frames (00:00:02:00 -> 00:00:01:16)\n"
        "V4\n"
        "  clip 1 `take 1`  trimmed head -4: 48 -> 44 frames (00:00:02:00 -> 00:00:01:20)\n"
        "A2\n"
        "  clip 3 `take 3`  trimmed tail +12: 48 -> 60 frames (00:00:02:00 -> 00:00:02:12)\n"
        "3 changes: 3 trimmed\n")
    records = diff_records("old.xml", "new.xml", cwd=tmp_path)
    assert [(r["track"], r["track_name"], r["after_index"], r["head"], r["tail"]) for r in records] == \
        [("V2", "", 1, 0, -8), ("V4", "", 0, -4, 0), ("A2", "", 2, 0, 12)]


def rename(timeline):
    find(timeline, "alpha").name = "alpha final"


HISTORY = [(None, "assembly"), (trim, "trim bravo"), (replace, "charlie v2"), (move, "alpha later"),
           (rename, "alpha renamed")]


def history(tmp_path):
    """A commit of each step of HISTORY, on a track named "picture".
    Returns their ids and timelines, oldest first."""
    run("init", cwd=tmp_path, check_status=0)
    timeline = cut()
    timeline.tracks[0].name = "picture"
    ids, documents = [], []
    for edit, message in HISTORY:
        if edit:
            edit(timeline)
        export(timeline, tmp_path / "cut.otio")
        documents.append(json.loads(timeline.to_json_string()))
        ids.append(run("commit", "cut.otio", "-m", message, cwd=tmp_path, check_status=0).stdout.strip())
    return ids, documents


@pytest.mark.parametrize("clip, track, expected", [
    ("bravo", None, [(1, ["trimmed"]), (0, ["added"])]),
    ("charlie", None, [(2, ["replaced"]), (0, ["added"])]),
    ("alpha", "V1", [(4, ["renamed"]), (3, ["moved"]), (0, ["added"])]),
    ("alpha", "picture", [(4, ["renamed"]), (3, ["moved"]), (0, ["added"])]),
    ("alpha final", None, [(4, ["renamed"])]),
    ("alpha", "A1", []),
    ("alpha", "V2", []),
    ("nobody", None, []),
])
def test_log_clip_lists_the_commits_whose_records_name_it(tmp_path, clip, track, expected):
    ids, documents = history(tmp_path)
    args = ["log", "--clip", clip] + (["--track", track] if track else [])
    found = json.loads(run(*args, "--json", cwd=tmp_path, check_status=0).stdout)
    assert [(entry["id"], [c["op"] for c in entry["changes"]]) for entry in found] == \
        [(ids[number], ops) for number, ops in expected]
    # The records are the engine's between the commit and its parent.
    empty = copy.deepcopy(documents[0])
    empty["tracks"]["children"][0]["children"] = []
    for entry in found:
        number = ids.index(entry["id"])
        parent = documents[number - 1] if number else empty
        assert all(change in tesmo_cli.compare(parent, documents[number])
                   for change in entry["changes"])
    # -n counts the commits listed: a heading each, then its changes.
    for count in (0, 1, 2):
        lines = run(*args, "-n", count, cwd=tmp_path, check_status=0).stdout.splitlines()
        headings = [line.split()[0] for line in lines if not line.startswith(" ")]
        assert headings == [ids[n][7:19] for n, _ in expected[:count]]
        assert len(lines) == sum(1 + len(ops) for _, ops in expected[:count])


def test_log_clip_lines_say_each_change(tmp_path):
    ids, _ = history(tmp_path)
    lines = run("log", "--clip", "bravo", cwd=tmp_path, check_status=0).stdout.splitlines()
    assert [line.split("  ")[0] for line in lines[::2]] == [ids[1][7:19], ids[0][7:19]]
    assert lines[1::2] == [
        "    V1 `picture` clip 2 `bravo` trimmed head -6, tail -6: 48 -> 36 frames "
        "(00:00:02:00 -> 00:00:01:12)",
        "    V1 `picture` clip 2 `bravo` added at 00:00:02:00, /media/bravo.mov"]


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
    assert f"comparing {len(HISTORY)} commits..." in shown
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
