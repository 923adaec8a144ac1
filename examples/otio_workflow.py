"""An editorial round trip with OpenTimelineIO and tesmo.

Builds the assembly cut of a short documentary with the OpenTimelineIO API
(30 shots on V1, title cards on V2, interview sound on A1, 24 fps), commits
it on main, recuts it on a branch named recut with the same API, commits
again, and prints the history and an editor's change list between the two
versions. Finally it reads the assembly cut back into an OpenTimelineIO
timeline.

    python examples/otio_workflow.py            # in a fresh temporary directory
    python examples/otio_workflow.py my-edit    # keeps the repository in my-edit/
"""

import argparse
import json
import sys
import tempfile
from pathlib import Path

try:
    import opentimelineio as otio
except ImportError:
    print("this example needs OpenTimelineIO: pip install opentimelineio", file=sys.stderr)
    sys.exit(1)

import tesmo

RATE = 24
PROJECT = "file:///projects/harbour/"

# The assembly: (shot name, camera file, source in, duration), in frames.
# Shots named after Maria or Tomas are interview takes with sync sound.
SHOTS = [
    ("harbour_dawn", "A001_C002", 120, 96),
    ("gulls_mast", "A001_C005", 40, 48),
    ("maria_intro", "A002_C001", 1450, 168),
    ("nets_hands", "A001_C011", 200, 60),
    ("rope_coil", "A001_C012", 10, 40),
    ("maria_father", "A002_C001", 2210, 144),
    ("boat_engine", "A001_C014", 30, 72),
    ("market_crowd", "A003_C002", 500, 84),
    ("net_mending", "A003_C010", 70, 72),
    ("maria_market", "A002_C001", 3105, 120),
    ("ice_crates", "A003_C006", 12, 48),
    ("fish_scales", "A003_C007", 96, 36),
    ("tomas_intro", "A004_C001", 820, 150),
    ("tomas_weather", "A004_C001", 1600, 132),
    ("storm_clouds", "A005_C001", 0, 96),
    ("waves_hull", "A005_C003", 240, 60),
    ("tomas_night", "A004_C001", 2450, 180),
    ("lighthouse_dusk", "A005_C009", 300, 120),
    ("maria_change", "A002_C003", 610, 156),
    ("empty_berths", "A006_C002", 48, 72),
    ("cafe_window", "A006_C004", 150, 60),
    ("tomas_kids", "A004_C002", 390, 144),
    ("school_pier", "A006_C008", 20, 84),
    ("maria_hope", "A002_C003", 1890, 132),
    ("lamps_on", "A007_C001", 60, 48),
    ("boats_return", "A007_C003", 400, 108),
    ("tomas_closing", "A004_C002", 1720, 120),
    ("moon_water", "A007_C008", 0, 96),
    ("harbour_night", "A007_C006", 0, 144),
    ("credits_plate", "A008_C001", 0, 120),
]


def frames(count):
    return otio.opentime.RationalTime(count, RATE)


def span(start, duration):
    return otio.opentime.TimeRange(frames(start), frames(duration))


def media(path, length=4000):
    return otio.schema.ExternalReference(target_url=PROJECT + path,
                                         available_range=span(0, length))


def shot(name, camera_file, start, duration):
    return otio.schema.Clip(name=name, media_reference=media(f"camera/{camera_file}.mov"),
                            source_range=span(start, duration))


def dissolve(name, duration):
    half = frames(duration / 2)
    return otio.schema.Transition(name=name,
                                  transition_type=otio.schema.TransitionTypes.SMPTE_Dissolve,
                                  in_offset=half, out_offset=half)


def find(track, name):
    return next(clip for clip in track.find_clips() if clip.name == name)


def dialogue(picture):
    """A1 conformed to the picture: each interview shot's sync sound under
    it, gaps under everything else."""
    track = otio.schema.Track(name="A1", kind=otio.schema.TrackKind.Audio)
    for item in picture:
        if isinstance(item, otio.schema.Transition):
            continue
        if item.name.startswith(("maria_", "tomas_")):
            take = item.media_reference.target_url.rsplit("/", 1)[1].replace(".mov", ".wav")
            track.append(otio.schema.Clip(name=item.name, media_reference=media(f"sound/{take}"),
                                          source_range=item.source_range))
        else:
            track.append(otio.schema.Gap(source_range=item.trimmed_range()))
    return track


def assembly_cut():
    timeline = otio.schema.Timeline(name="Harbour Lights", global_start_time=frames(86400))
    picture = otio.schema.Track(name="V1", kind=otio.schema.TrackKind.Video)
    for name, camera_file, start, duration in SHOTS:
        picture.append(shot(name, camera_file, start, duration))
    picture.insert(1, dissolve("dawn_dissolve", 24))
    # Storm footage is overcranked: played at half speed.
    find(picture, "storm_clouds").effects.append(otio.schema.LinearTimeWarp(time_scalar=0.5))
    find(picture, "tomas_night").markers.append(otio.schema.Marker(
        name="sky replacement?", marked_range=span(2500, 1), color=otio.schema.MarkerColor.RED))
    find(picture, "credits_plate").markers.append(otio.schema.Marker(
        name="credits need legal sign-off", marked_range=span(0, 1),
        color=otio.schema.MarkerColor.YELLOW))

    titles = otio.schema.Track(name="V2", kind=otio.schema.TrackKind.Video)
    titles.append(otio.schema.Gap(source_range=span(0, 24)))
    titles.append(otio.schema.Clip(name="main_title",
                                   media_reference=media("gfx/main_title.png", 1),
                                   source_range=span(0, 72)))
    titles.append(otio.schema.Gap(source_range=span(0, 120)))
    titles.append(otio.schema.Clip(name="maria_lower_third",
                                   media_reference=media("gfx/lower_third_maria.png", 1),
                                   source_range=span(0, 96)))

    timeline.tracks.extend([picture, titles, dialogue(picture)])
    return timeline


def recut(timeline):
    """The director's notes, applied with the OpenTimelineIO API."""
    picture, titles, sound = timeline.tracks
    # Tighten Maria's story about her father by 34 frames at the tail.
    maria = find(picture, "maria_father")
    maria.source_range = otio.opentime.TimeRange(maria.source_range.start_time, frames(110))
    # The lighthouse goes just before the night sequence.
    lighthouse = picture.pop(picture.index(find(picture, "lighthouse_dusk")))
    picture.insert(picture.index(find(picture, "moon_water")), lighthouse)
    # The storm shot comes back from the colourist as a new render.
    find(picture, "storm_clouds").media_reference = media("renders/A005_C001_grade_v2.mov")
    # Warmer lighthouse; a dissolve into the boats coming home.
    lighthouse.effects.append(otio.schema.Effect(name="warm", effect_name="ColorCorrection"))
    picture.insert(picture.index(find(picture, "lamps_on")) + 1, dissolve("home_dissolve", 24))
    # Hard cut at the head; no fish scales; a pickup line from Maria.
    picture.remove(picture[1])
    picture.remove(find(picture, "fish_scales"))
    picture.insert(picture.index(find(picture, "maria_hope")) + 1,
                   shot("maria_pickup", "A002_C009", 300, 72))
    # The sound follows the picture; titles are made in finishing; the
    # score arrives on a track of its own.
    timeline.tracks[timeline.tracks.index(sound)] = dialogue(picture)
    timeline.tracks.remove(titles)
    music = otio.schema.Track(name="A2", kind=otio.schema.TrackKind.Audio)
    music.append(otio.schema.Clip(name="score_opening", media_reference=media("music/opening.wav"),
                                  source_range=span(0, 1200)))
    music.append(otio.schema.Clip(name="score_night", media_reference=media("music/night.wav"),
                                  source_range=span(0, 960)))
    timeline.tracks.append(music)


def as_value(timeline):
    """The form tesmo stores: plain dicts and lists."""
    return json.loads(timeline.to_json_string())


def from_value(value):
    return otio.adapters.read_from_string(json.dumps(value), "otio_json")


def track_rates(*timelines):
    """Each track's frame rate, by name; later timelines win."""
    return {track.name: track.duration().rate
            for timeline in timelines for track in timeline.tracks}


def project_path(url):
    return url[len(PROJECT):] if url and url.startswith(PROJECT) else url


def change_line(change, rates):
    """One line of an editor's change list, from the change's payload:
    track, op, clip or transition, and positions and lengths in frames at
    the track's rate."""
    d = change.to_dict()
    op = d["op"]
    if op in ("track_added", "track_removed"):
        return f"{d['name']:<3} {op:<18} {'':<16} {d['kind']} track"
    track = d.get("track") or d["from_track"]
    rate = rates.get(track, RATE)

    def count(time):
        at_own_rate = otio.opentime.RationalTime(time["value"], time["rate"])
        return round(at_own_rate.rescaled_to(rate).value)

    def name(clip, end):
        return clip["name"] if clip else end

    subject = d["clip"]["name"] if "clip" in d else d["name"]
    if op == "trimmed":
        before, after = d["before"], d["after"]
        detail = (f"in {count(before['start_time'])} -> {count(after['start_time'])}, "
                  f"{count(before['duration'])} -> {count(after['duration'])} frames")
    elif op == "moved":
        detail = (f"position {d['from_index']} -> {d['to_index']}, "
                  f"now after {name(d['before_neighbor'], 'the start')}")
    elif op in ("added", "removed"):
        detail = f"at position {d['index']}"
    elif op == "effects_changed":
        detail = f"{d['before']} -> {d['after']} effects"
    elif op == "replaced":
        detail = f"{project_path(d['before_media'])} -> {project_path(d['after_media'])}"
    else:
        detail = (f"between {name(d['between_before'], 'the start')} "
                  f"and {name(d['between_after'], 'the end')}")
        if d.get("duration"):
            detail = f"{count(d['duration'])} frames {detail}"
    return f"{track:<3} {op:<18} {subject:<16} {detail}"


def summary(timeline):
    tracks = ", ".join(f"{track.name} {len(list(track.find_clips()))}" for track in timeline.tracks)
    return f"{otio.opentime.to_timecode(timeline.duration(), RATE)} long, clips per track: {tracks}"


def run(workdir):
    repo = tesmo.Repo.init(workdir)

    cut = assembly_cut()
    first = repo.commit(as_value(cut), "Assembly cut", author_name="Ana (editor)",
                        author_email="ana@harbour.example")
    print("main:", summary(cut))

    repo.create_branch("recut")
    repo.switch_branch("recut")
    recut(cut)
    repo.commit(as_value(cut), "Recut after the director's notes")
    print("recut:", summary(cut))

    print(f"\nhistory of {repo.current_branch()}")
    for commit_id, record in repo.log():
        author = record["author"]["name"]
        print(f"  {commit_id[7:19]}  {record['timestamp']}  {author:<13} {record['message']}")

    assembly = from_value(repo.read_timeline(first))
    rates = track_rates(assembly, cut)
    print("\nchanges from main to recut")
    for change in repo.diff_refs("main", "recut"):
        print("  " + change_line(change, rates))

    print("\nmain read back:", summary(assembly), "| same as committed:",
          assembly.is_equivalent_to(assembly_cut()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("workdir", nargs="?", type=Path,
                        help="where to create the repository (default: a new temporary directory)")
    args = parser.parse_args()
    try:
        if args.workdir is not None:
            run(args.workdir)
        else:
            with tempfile.TemporaryDirectory() as tmp:
                run(tmp)
    except tesmo.TesmoError as error:
        print("tesmo:", error, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
