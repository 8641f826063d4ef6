#!/usr/bin/env bash
# Installs what is missing, builds, lays out a payment directory in a
# temporary folder, runs Ravo on a card sale there and prints the response.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
scripts/deps.sh
scripts/build.sh
BUILD="$ROOT/${BUILD_DIR:-build}"

PAYDIR=$(mktemp -d /tmp/ravo-demo-XXXXXX)
mkdir -p "$PAYDIR/DATA"
ln -s "$BUILD/Ravo" "$PAYDIR/Ravo"
ln -s "$BUILD/libRAVOux.so" "$PAYDIR/libRAVOux.so"
cat >"$PAYDIR/DATA/CONFIG.INI" <<'INI'
; terminal and acquiring host
TERMINALID=DEMO0001
HOST=127.0.0.1
SECPORT=7443
KWRMHOST=127.0.0.1
KWRMPORT=7444
OPENKEY=0123456789ABCDEF0123456789ABCDEF
BASECURRENCY=BYN
ENABLEDCURRENCY=BYN|USD|
CHEQUEWIDTH=32
INI
cat >"$PAYDIR/DATA/DEVICE.INI" <<'INI'
COMPORT=1
BAUDRATE=115200
LOGLEVEL=3
INI
cat >"$PAYDIR/RAVORQ.XML" <<'XML'
<OperationDataRq>
 <OperationType>Sale</OperationType>
 <Amount>1500</Amount>
 <Currency>BYN</Currency>
</OperationDataRq>
XML

echo "== payment directory: $PAYDIR"
echo "== request:"; cat "$PAYDIR/RAVORQ.XML"
set +e
(cd "$PAYDIR" && ./Ravo)
rc=$?
set -e
echo "== Ravo exit code: $rc"
echo "== response RAVORS.XML:"
cat "$PAYDIR/RAVORS.XML" 2>/dev/null || echo "(no response written)"
echo "== log:"
cat "$PAYDIR"/LOG/*.LOG
