#!/usr/bin/env bash
# Installs what is missing, builds, then runs a card sale end to end: Ravo
# and libRAVOux.so of the build in a temporary payment directory, the emulated
# PIN pad presenting a card on a pseudo-terminal, the emulated acquiring host
# approving over TLS. Prints the response with its receipt, then a day report
# (scripts/demo_sale.sh, which the emulators package installs as ravo-demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
BUILD="$PWD/${BUILD_DIR:-build}"
PINPAD_EMU="$BUILD/emulators/pinpad/pinpad_emu" HOST_EMU="$BUILD/emulators/host/host_emu" \
  exec scripts/demo_sale.sh "$BUILD"
