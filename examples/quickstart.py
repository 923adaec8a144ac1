"""A first look at tesmo: create a repository in a temporary directory and
show where it lives."""

import tempfile
from pathlib import Path

import tesmo


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp) / "my-edit"
        repo = tesmo.Repo.init(workdir)
        print("created", repo)
        print("repository directory:", repo.root.relative_to(tmp))
        print("contents:", sorted(p.name for p in repo.root.iterdir()))
        print("HEAD:", (repo.root / "HEAD").read_text().strip())

        # Any directory below the workdir finds the same repository.
        (workdir / "renders" / "day1").mkdir(parents=True)
        found = tesmo.Repo.discover(workdir / "renders" / "day1")
        print("found from renders/day1:", found.root == repo.root)

        try:
            tesmo.Repo.init(workdir)
        except tesmo.TesmoError as err:
            print("second init refused:", str(err).replace(tmp, "<tmp>"))


if __name__ == "__main__":
    main()
