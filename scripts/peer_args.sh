# Sourced by the 32-bit and sanitizer suites: peer_args names the emulated
# peers (pad, host, terminal manager) of the 64-bit build in PEER_BUILD
# (default build/) when it has them, so that they run natively beside the
# build under test; otherwise that build's own emulators are used.
PEER_BUILD=${PEER_BUILD:-build}
peer_args=(-DRAVO_PEER_BUILD=)
if [ -x "$PEER_BUILD/emulators/pinpad/pinpad_emu" ] && [ -x "$PEER_BUILD/emulators/host/host_emu" ] \
   && [ -x "$PEER_BUILD/emulators/tmanager/tmanager_emu" ]; then
  peer_args=(-DRAVO_PEER_BUILD="$(cd "$PEER_BUILD" && pwd)")
  echo "tests talk to the emulators of $PEER_BUILD"
fi
