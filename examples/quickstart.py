"""A first look at tesmo: create a repository in a temporary directory,
commit two versions of a small timeline on two branches, and show the
history."""

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

        # A recut on its own branch: trim the interview, swap the outro.
        repo.create_branch("recut")
        repo.switch_branch("recut")
        second = copy.deepcopy(first)
        clips = second["tracks"]["children"][0]["children"]
        clips[1]["source_range"]["duration"]["value"] = 96
        clips[2]["media_references"]["DEFAULT_MEDIA"]["target_url"] = "file:///media/outro_v2.mov"
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

        # Any directory below the workdir finds the same repository.
        (workdir / "renders").mkdir()
        print("found from renders/:", tesmo.Repo.discover(workdir / "renders").root == repo.root)


if __name__ == "__main__":
    main()
