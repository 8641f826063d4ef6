#!/usr/bin/env bash
# Installs what is missing, builds, makes the Debian packages with cpack:
#   scripts/package.sh        64-bit build in build/, packages in build/packages/
#   scripts/package.sh --m32  the till's 32-bit build in build-m32/, i386 packages
#                             in build-m32/packages/
# ravo (the payment directory), ravo-posplugin (the point-of-sale plug-in),
# ravo-emulators (the emulated PIN pad, host and terminal manager, ravo-demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ "${1:-}" = --m32 ]; then
  scripts/deps_m32.sh
  BUILD_DIR=${BUILD_DIR:-build-m32}
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386.cmake" >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)"
else
  [ $# -eq 0 ] || { echo "usage: $0 [--m32]" >&2; exit 2; }
  BUILD_DIR=${BUILD_DIR:-build}
  BUILD_DIR=$BUILD_DIR scripts/build.sh
fi
(cd "$BUILD_DIR" && cpack >cpack.log 2>&1) || { cat "$BUILD_DIR/cpack.log"; exit 1; }
ls -1 "$PWD/$BUILD_DIR"/packages/*.deb
