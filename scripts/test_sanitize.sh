#!/usr/bin/env bash
# Builds everything (library, programs, emulators, plug-in, tests) with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-san/ (or
# $BUILD_DIR) and runs every test there. A sanitizer report ends its process
# and fails the run; reports of processes the tests start are collected too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build-san}
# -O1 -g1: the level the sanitizers are meant for; line tables are all their
# stack traces need.
source scripts/peer_args.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVO_SANITIZE=ON "${peer_args[@]}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
SECONDS=0
cmake --build "$BUILD_DIR" -j"$(nproc)"
build_s=$SECONDS
# BUILD_ONLY=1: stop once built (.ci/run builds one suite while another runs).
[ "${BUILD_ONLY:-0}" = 1 ] && exit 0

REPORTS="$(cd "$BUILD_DIR" && pwd)/sanitizer-reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
common="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/report"
export ASAN_OPTIONS="$common:detect_leaks=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"

status=0
SECONDS=0
(cd "$BUILD_DIR" && ctest --output-on-failure -j"$(nproc)") || status=$?
echo "sanitizer suite: build ${build_s} s, tests ${SECONDS} s"
# A report of a process whose exit no test looks at (a child of a child) still fails the run.
if compgen -G "$REPORTS/report.*" >/dev/null; then
  for f in "$REPORTS"/report.*; do
    echo "=== sanitizer report $f"
    cat "$f"
  done
  status=1
fi
exit "$status"
