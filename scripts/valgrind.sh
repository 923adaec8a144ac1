#!/usr/bin/env bash
# Runs part of the pytest suite under valgrind's memcheck and reports what
# concerns the tesmo module: blocks definitely lost whose allocation stack
# passes through it, and memory errors (invalid reads and writes, uses of
# uninitialised values) with one of its frames. The interpreter's own leaks
# at exit are counted but not reported one by one. Exits with status 1 when
# anything is attributed to the module.
#
#   PYTHON=path/to/venv/bin/python scripts/valgrind.sh [pytest arguments]
#
# PYTHON must have tesmo and pytest installed (default: python3). Without
# arguments the run covers history, diff, conversion and hostile input, which
# takes a few minutes. Too slow for scripts/test.sh; run it by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
# An absolute path, kept as given otherwise: a venv's python must not be
# resolved through its symbolic link.
case "$python" in
  */*) python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")" ;;
  *) python=$(command -v "$python") ;;
esac

if ! command -v valgrind >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q valgrind </dev/null
fi

if [ $# -eq 0 ]; then
  # The large-value tests take long under valgrind and exercise no other path.
  set -- test_history.py test_diff.py test_convert.py test_hostile.py \
    -k "not leak_check and not ten_megabytes and not many_members"
fi

log=$(mktemp -t tesmo-valgrind.XXXXXX)
trap 'rm -f "$log" "$log".*' EXIT

# PYTHONMALLOC=malloc sends every Python allocation to malloc, so that
# valgrind sees them; pymalloc's arenas would hide them.
status=0
(cd tests/python && PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
  --log-file="$log" "$python" -m pytest -q -p no:cacheprovider "$@") || status=$?
echo "pytest under valgrind exited with status $status"

# One block of lines per valgrind record: a record starts at a line with no
# further indentation after the "==pid==" prefix and runs to the blank line.
"$python" - "$log" <<'EOF'
import re
import sys

MODULE = re.compile(r"tesmo\.abi3\.so|src/python/|src/core/|tesmo::")
records, current = [], []
with open(sys.argv[1], errors="replace") as f:
    for line in f:
        text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if not text.strip():
            if current:
                records.append(current)
            current = []
        else:
            current.append(text)
if current:
    records.append(current)

definite = [r for r in records if "definitely lost in loss record" in r[0]]
errors = [r for r in records if re.match(r"(Invalid (read|write|free)|Conditional jump|"
                                         r"Use of uninitialised|Syscall param|Mismatched free|"
                                         r"Source and destination overlap)", r[0])]
ours_lost = [r for r in definite if any(MODULE.search(line) for line in r)]
ours_errors = [r for r in errors if any(MODULE.search(line) for line in r)]

def total(recs):
    return sum(int(re.match(r"([\d,]+) \(?", r[0]).group(1).replace(",", "")) for r in recs)

summary = [r for r in records if r[0].startswith("LEAK SUMMARY")]
print(f"definitely lost, all: {len(definite)} records, {total(definite)} bytes")
print(f"definitely lost with a tesmo frame: {len(ours_lost)} records, {total(ours_lost)} bytes")
print(f"memory errors, all: {len(errors)}; with a tesmo frame: {len(ours_errors)}")
for record in ours_lost + ours_errors:
    print("\n".join(record), end="\n\n")
if summary:
    print("\n".join(summary[0]))
sys.exit(1 if ours_lost or ours_errors else 0)
EOF
