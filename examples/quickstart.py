"""A first look at tesmo: create a repository in a temporary directory,
commit two versions of a small timeline on two branches, show the history,
and print what changed between the two versions."""

import copy
import tempfile
from pathlib import Path

import tesmo


def clip(name, media, start, frames, rate=24.0):
    return {
        "OTIO_SCHEMA": "Clip.2",
        "name": name,
        "source_range": {
            "OTIO_SCHEMA": "TimeRange.1",
            "start_time": {"OTIO_SCHEMA": "RationalTime.1", "value": start, "rate": rate},
            "duration": {"OTIO_SCHEMA": "RationalTime.1", "value": frames, "rate": rate},
        },
        "media_references": {
            "DEFAULT_MEDIA": {"OTIO_SCHEMA": "ExternalReference.1", "target_url": media},
        },
        "active_media_reference_key": "DEFAULT_MEDIA",
        "effects": [],
        "markers": [],
        "metadata": {},
    }


def dissolve(name, frames, rate=24.0):
    half = {"OTIO_SCHEMA": "RationalTime.1", "value": frames / 2, "rate": rate}
    return {"OTIO_SCHEMA": "Transition.1", "name": name, "transition_type": "SMPTE_Dissolve",
            "in_offset": half, "out_offset": dict(half)}


def timeline(name, clips):
    return {
        "OTIO_SCHEMA": "Timeline.1",
        "name": name,
        "tracks": {
            "OTIO_SCHEMA": "Stack.1",
            "name": "tracks",
            "children": [{"OTIO_SCHEMA": "Track.1", "name": "V1", "kind": "Video",
                          "children": clips}],
        },
    }


def short(commit_id):
    return commit_id[len("sha256:"):][:12]


def frames(time):
    return round(time["value"])


def describe(change):
    """One line of an editor's change list."""
    d = change.to_dict()
    op = d["op"]
    if op in ("track_added", "track_removed"):
        return f"{op.replace('_', ' ')}: {d['name']} ({d['kind']})"
    track = d.get("track") or d.get("from_track")
    clip = (d.get("clip") or {}).get("name")
    if op == "trimmed":
        before, after = d["before"]["duration"], d["after"]["duration"]
        return f"{track}: trimmed {clip} from {frames(before)} to {frames(after)} frames"
    if op == "moved":
        return f"{track}: moved {clip} from position {d['from_index']} to {d['to_index']}"
    if op in ("added", "removed"):
        return f"{track}: {op} {clip} at position {d['index']}"
    if op == "replaced":
        return f"{track}: replaced media of {clip}: {d['before_media']} -> {d['after_media']}"
    if op == "effects_changed":
        return f"{track}: effects on {clip}: {d['before']} -> {d['after']}"
    left = (d.get("between_before") or {}).get("name")
    right = (d.get("between_after") or {}).get("name")
    return f"{track}: {op.replace('_', ' ')} {d['name']} between {left} and {right}"


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp) / "my-edit"
        repo = tesmo.Repo.init(workdir)
        print("created", str(repo).replace(tmp, "<tmp>"))

        first = timeline("promo", [
            clip("intro", "file:///media/intro.mov", 0, 48),
            clip("interview", "file:///media/interview.mov", 100, 120),
            clip("outro", "file:///media/outro.mov", 0, 36),
        ])
        repo.commit(first, "Assembly cut", author_name="editor")

        # A recut on its own branch: trim the interview, swap the outro's
        # media, put a dissolve into the interview and add a b-roll shot.
        repo.create_branch("recut")
        repo.switch_branch("recut")
        second = copy.deepcopy(first)
        clips = second["tracks"]["children"][0]["children"]
        clips[1]["source_range"]["duration"]["value"] = 96
        clips[2]["media_references"]["DEFAULT_MEDIA"]["target_url"] = "file:///media/outro_v2.mov"
        clips.insert(1, dissolve("dissolve", 12))
        clips.insert(3, clip("skyline", "file:///media/broll/skyline.mov", 10, 24))
        repo.commit(second, "Tighter interview, new outro")

        print("\nhistory of", repo.current_branch())
        for commit_id, record in repo.log():
            print(f"  {short(commit_id)}  {record['author']['name']:<8} {record['message']}")

        print("\nbranches")
        for name, commit_id in repo.list_branches():
            marker = "*" if name == repo.current_branch() else " "
            print(f"  {marker} {name:<6} {short(commit_id)}")

        back = repo.read_timeline("main")
        print("\nmain still has", len(back["tracks"]["children"][0]["children"]), "clips;",
              "read back equal:", back == first)

        print("\nchanges from main to recut")
        for change in repo.diff_refs("main", "recut"):
            print("  " + describe(change))

        # Any directory below the workdir finds the same repository.
        (workdir / "renders").mkdir()
        print("found from renders/:", tesmo.Repo.discover(workdir / "renders").root == repo.root)


if __name__ == "__main__":
    main()
