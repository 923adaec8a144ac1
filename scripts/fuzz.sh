#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ in build/fuzz and runs each in turn:
#   scripts/fuzz.sh [seconds-per-target] [target...]
# Defaults: 60 seconds, every target (parse_json read_object diff_timelines compare
# repository).
# Each run starts from the committed seeds in fuzz/corpus/<target>/ plus what
# earlier runs added to build/fuzz/corpus/<target>/, and adds its new inputs
# there only, so the seeds stay as committed. A crash, leak, timeout or
# sanitizer report leaves its input in build/fuzz/findings/<target>/ and
# makes the script exit non-zero after the remaining targets have run.
# Needs clang and the libFuzzer runtime (Debian: clang, libclang-rt-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(parse_json read_object diff_timelines compare repository verify)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
case $seconds in '' | *[!0-9]*) echo "fuzz.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;; esac
for t in "${targets[@]}"; do
  [ -f "fuzz/$t.cc" ] || { echo "fuzz.sh: no target '$t' (known: ${all_targets[*]})" >&2; exit 2; }
done

out=build/fuzz
cmake -S . -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESMO_FUZZ=ON -DTESMO_BUILD_TESTS=OFF -DTESMO_BUILD_MODULE=OFF >/dev/null
cmake --build "$out" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  corpus="$out/corpus/$t"
  findings="$out/findings/$t"
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  # Limits per input: a run past them is a finding. The repository target
  # plants small trees and reads them with a small object limit, so an
  # operation that blocks or fills memory stands out within seconds.
  case $t in
    repository) limits=(-max_len=4096 -timeout=5 -rss_limit_mb=1024 -malloc_limit_mb=256) ;;
    *) limits=(-max_len=65536 -timeout=10 -rss_limit_mb=2048) ;;
  esac
  log="$out/$t.log"
  rc=0
  "$out/fuzz/fuzz_$t" "$corpus" "fuzz/corpus/$t" "${dict[@]}" -max_total_time="$seconds" \
    "${limits[@]}" -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$log" 2>&1 </dev/null || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  files=$(find "$corpus" -type f | wc -l)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $t: ${runs:-?} runs in ${seconds}s, ${cov:-cov: ?}, corpus $files files, nothing found"
  else
    status=1
    echo "fuzz $t: FOUND a problem after ${runs:-?} runs (exit $rc); inputs in $findings/, log $log:"
    report=$(grep -E '==[0-9]+== ?ERROR|^SUMMARY|runtime error' "$log" | head -n 5 || true)
    if [ -n "$report" ]; then echo "$report"; else tail -n 20 "$log"; fi
  fi
done
exit $status
