"""Accuracy of the comparison engine on the sample files of OpenTimelineIO and
its adapters: tables per op, per source format and per kind of hard case,
then what each format's re-export gives, then the failing cases.

    python scripts/accuracy.py                # fetches the corpus when needed
    python scripts/accuracy.py --failures 50  # list up to 50 failing cases
    python scripts/accuracy.py --json out.json

An edit is right when exactly one record answers it with its op, track
labels, positions and op members; a record that answers no edit is spurious.
The edits and the checks are those of tests/python/test_accuracy.py.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import Counter
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import corpus_support as cs  # noqa: E402


def tally(outcomes: Sequence[cs.Outcome], key: Callable[[cs.Outcome, int], str],
          spurious_key: Optional[Callable[[cs.Outcome, cs.Json], str]] = None) -> List[List[Any]]:
    """Rows of (group, edits, right, accuracy, paired with wrong members,
    spurious records). A spurious record counts in its case's row, or in
    the row spurious_key names."""
    edits: Counter[str] = Counter()
    right: Counter[str] = Counter()
    members: Counter[str] = Counter()
    spurious: Counter[str] = Counter()
    for o in outcomes:
        for i, ok in enumerate(o.right):
            edits[key(o, i)] += 1
            right[key(o, i)] += ok
            members[key(o, i)] += o.paired[i] and not ok
        for record in o.spurious:
            spurious[spurious_key(o, record) if spurious_key else key(o, 0)] += 1
    rows = [[g, edits[g], right[g], right[g] / edits[g] if edits[g] else 1.0, members[g],
             spurious[g]] for g in list(edits) + [g for g in spurious if g not in edits]]
    total = sum(edits.values())
    rows.append(["all", total, sum(right.values()), sum(right.values()) / total if total else 0,
                 sum(members.values()), sum(spurious.values())])
    return rows


def table(title: str, rows: List[List[Any]]) -> str:
    head = [title, "edits", "right", "accuracy", "members wrong", "spurious"]
    body = [[str(r[0]), str(r[1]), str(r[2]), f"{100 * r[3]:.1f}%" if r[1] else "-", str(r[4]),
             str(r[5])] for r in rows]
    widths = [max(len(line[i]) for line in [head] + body) for i in range(len(head))]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                       for i, (c, w) in enumerate(zip(line, widths))) for line in [head] + body]
    lines.insert(1, "-" * len(lines[0]))
    lines.insert(len(lines) - 1, "-" * len(lines[0]))
    return "\n".join(lines)


def reexports(corpus: cs.Corpus, compare: Callable[[cs.Json, cs.Json], List[cs.Json]]
              ) -> List[Dict[str, Any]]:
    out = []
    for sample in corpus.samples:
        r = cs.reexport(sample)
        case = cs.reexport_case(r)
        entry: Dict[str, Any] = {"sample": sample.name, "format": sample.format}
        if r.after is None:
            entry["skipped"] = r.error
        else:
            records = compare(r.before, r.after)
            entry["records"] = dict(Counter(rec["op"] for rec in records))
            if case is None:
                entry["skipped"] = "the adapter changed the timeline's shape"
            else:
                outcome = cs.check(case, records)
                entry["expected"] = dict(Counter(e.op for e in case.expects))
                entry["problems"] = outcome.problems
        out.append(entry)
    return out


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--dest", type=Path, help="the corpus cache (default: $TESMO_CORPUS "
                        "or build/corpus)")
    parser.add_argument("--failures", type=int, default=20, metavar="N",
                        help="failing cases listed (default 20)")
    parser.add_argument("--json", metavar="FILE", help="also write every outcome as JSON")
    args = parser.parse_args(argv)

    import tesmo_cli

    fetcher = cs.load_fetcher()
    try:
        dest = fetcher.fetch(args.dest)
    except fetcher.FetchError as e:
        print(f"accuracy: the corpus could not be fetched: {e}", file=sys.stderr)
        return 1
    corpus = cs.load_corpus(dest)
    cases = [case for sample in corpus.samples for case in cs.cases_for(sample)]
    outcomes = cs.run(cases, tesmo_cli.compare)

    print(f"{len(corpus.samples)} timelines from {dest.name}, {len(cases)} cases, "
          f"{sum(len(c.expects) for c in cases)} edits\n")
    single = [o for o in outcomes if o.case.group != "several"]
    several = [o for o in outcomes if o.case.group == "several"]
    print(table("op, one edit a case", tally(single, lambda o, i: o.case.description
                                             .replace(":", " "))))
    print()
    print(table("op, several on a track", tally(several, lambda o, i: o.case.expects[i].op,
                                                lambda o, record: str(record.get("op")))))
    print()
    print(table("format", tally(outcomes, lambda o, i: o.case.format)))
    print()
    tagged = [o for o in outcomes if o.case.tags]
    print(table("hard case", tally(tagged, lambda o, i: ", ".join(o.case.tags))))

    print("\nre-exports: records by op (expected: the differences of position-paired clips)")
    found = reexports(corpus, tesmo_cli.compare)
    for entry in found:
        records = ", ".join(f"{op} {n}" for op, n in sorted(entry.get("records", {}).items()))
        state = ("not written: " + entry["skipped"] if "records" not in entry
                 else "shape changed" if "expected" not in entry
                 else "as expected" if not entry["problems"]
                 else f"{len(entry['problems'])} problems")
        print(f"  {entry['sample']:<58} {state}: {records or 'no record'}"
              if "records" in entry else f"  {entry['sample']:<58} {state}")

    failing: List[Tuple[Optional[cs.Outcome], str]] = [(o, p) for o in outcomes
                                                       for p in o.problems]
    failing += [(None, f"{e['sample']} re-export: {p}") for e in found
                for p in e.get("problems", [])]
    print(f"\n{len(failing)} problems" + (":" if failing else ""))
    for o, problem in failing[:args.failures]:
        where = f"{o.case.id} [{o.case.description}] " if o is not None else ""
        print(f"  {where}{problem}")
        if o is not None:
            print(f"      records: {[cs.brief(r) for r in o.records][:6]}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"outcomes": [{"case": o.case.id, "group": o.case.group,
                                     "format": o.case.format, "tags": o.case.tags,
                                     "description": o.case.description,
                                     "expected": [e.record for e in o.case.expects],
                                     "right": o.right, "problems": o.problems,
                                     "records": o.records} for o in outcomes],
                       "reexports": found}, f, indent=1, ensure_ascii=False)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
