#!/usr/bin/env bash
# Builds the fuzz targets with clang into build-fuzz/ and runs each one in
# turn, bounded, on one core at low priority:
#   scripts/fuzz.sh              60 seconds per target
#   scripts/fuzz.sh 300          300 seconds per target
#   scripts/fuzz.sh -runs=1000000
#   scripts/fuzz.sh 60 tlv ini   only the targets named
# Findings go to build-fuzz/findings/<target>/; copy one that shows a fault into
# fuzz/regressions/<target>/ once it is fixed, so that ctest keeps replaying it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Absolute paths only: the targets work in a directory of their own.
root=$PWD
scripts/deps.sh --fuzz

limit="${1:-60}"
[ $# -gt 0 ] && shift
if [[ "$limit" == -runs=* ]]; then
  bound=("$limit")
else
  bound=("-max_total_time=$limit")
fi

if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DRAVO_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
nice cmake --build build-fuzz -j2 --target fuzz_all >/dev/null

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] && targets+=("${f#build-fuzz/fuzz/fuzz_}")
  done
fi

printf '%-18s %12s %9s %8s %s\n' target executions exec/s seconds findings
status=0
for t in "${targets[@]}"; do
  work=$root/build-fuzz/corpus/$t           # grows as the fuzzer learns; the seeds stay untouched
  found=$root/build-fuzz/findings/$t
  mkdir -p "$work" "$found"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=$root/fuzz/dict/$t.dict")
  log=build-fuzz/findings/$t.log
  start=$(date +%s)
  set +e
  nice build-fuzz/fuzz/fuzz_"$t" "${bound[@]}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$found/" -print_final_stats=1 "${dict[@]}" "$work" "$root/fuzz/corpus/$t" \
    $( [ -d "fuzz/regressions/$t" ] && echo "$root/fuzz/regressions/$t" ) >"$log" 2>&1
  rc=$?
  set -e
  seconds=$(( $(date +%s) - start ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  findings=$(find "$found" -maxdepth 1 -type f | wc -l)
  printf '%-18s %12s %9s %8s %s\n' "$t" "${runs:-?}" "${rate:-?}" "$seconds" "$findings"
  if [ $rc -ne 0 ] || [ "$findings" -gt 0 ]; then
    status=1
    echo "  see $log and $found/" >&2
  fi
done
exit $status
