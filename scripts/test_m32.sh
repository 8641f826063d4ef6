#!/usr/bin/env bash
# The till's 32-bit x86 build: installs what is missing, builds into build-m32/
# (or $BUILD_DIR) with cmake/i386.cmake, runs every test (ctest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps_m32.sh
BUILD_DIR=${BUILD_DIR:-build-m32}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# A kernel without 32-bit user space (some virtual machines) runs i386 programs
# through qemu's user-mode emulator, registered for i386 ELF files. The probe
# names its machine: x86_64 on a 64-bit kernel, i686 under qemu-i386.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
cat > "$probe_dir/probe.c" <<'C'
#include <stdio.h>
#include <sys/utsname.h>
int main(void) { struct utsname u; if (uname(&u) != 0) return 1; puts(u.machine); return 0; }
C
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe"
if ! "$probe_dir/probe" >/dev/null 2>&1; then
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed"; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      | $SUDO tee "$binfmt/register" >/dev/null
  fi
  "$probe_dir/probe" >/dev/null || { echo "i386 programs cannot run on this machine" >&2; exit 1; }
fi
under_qemu=OFF
if [ "$("$probe_dir/probe")" != "$(uname -m)" ]; then
  under_qemu=ON
  echo "i386 programs run through qemu-i386-static (this kernel runs no 32-bit user space)"
fi

source scripts/peer_args.sh
# The shipped optimisation (-O2) without debug information, which only slows the build here.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${peer_args[@]}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386.cmake" -DRAVO_TESTS_UNDER_QEMU=$under_qemu >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
# BUILD_ONLY=1: stop once built (.ci/run builds one suite while another runs).
[ "${BUILD_ONLY:-0}" = 1 ] && exit 0
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
