#!/usr/bin/env bash
# Installs what is missing, builds, then runs a card sale end to end: Ravo
# and libRAVOux.so in a temporary payment directory, the emulated PIN pad
# presenting a card on a pseudo-terminal, the emulated acquiring host
# approving over TLS. Prints the response with its receipt, then a day report.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
scripts/deps.sh
scripts/build.sh
BUILD="$ROOT/${BUILD_DIR:-build}"

WORK=$(mktemp -d /tmp/ravo-demo-XXXXXX)
PAY="$WORK/pay"
mkdir -p "$PAY/DATA"
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# A test PKI: the host's certificate, and the terminal's TLS files, which the
# PIN pad keeps and hands to the terminal.
scripts/make_test_pki.sh "$WORK/pki" >/dev/null

# Card ranges: every operation needs the table, even a day report.
scripts/make_range_cfg.sh "$PAY/DATA/RANGE.CFG" 4=VISA 5=MASTERCARD

cat >"$PAY/DATA/CONFIG.INI" <<'INI'
; terminal and acquiring host
TERMINALID=DEMO0001
HOST=127.0.0.1
SECPORT=17443
KWRMHOST=127.0.0.1
KWRMPORT=17444
OPENKEY=0123456789ABCDEF0123456789ABCDEF
BANKTITLE=DEMO BANK
BANKID=100000001
ENABLEDCURRENCY=BYN|USD|
CHEQUEWIDTH=32
INI

cat >"$WORK/pad.scn" <<SCN
# the cardholder swipes a card, enters the PIN and confirms
card=stripe
pan=4000001234567899
range_no=1
pin=entered
confirm=yes
key=TK:1:A1B2C3
file=EMVCFG:DEMO-EMV-CONFIG
file_from=SSLA:$WORK/pki/sha256/SSLA
file_from=SSLC:$WORK/pki/sha256/SSLC
file_from=SSLK:$WORK/pki/sha256/SSLK
SCN
echo "* approve" >"$WORK/host.scn"

"$BUILD/emulators/host/host_emu" --cert "$WORK/pki/host.crt" --key "$WORK/pki/host.key" \
  --ca "$WORK/pki/ca.crt" --port 17443 --scenario "$WORK/host.scn" --trace "$WORK/host.trace" >"$WORK/host.out" 2>&1 &
PIDS+=($!)
"$BUILD/emulators/pinpad/pinpad_emu" -s "$WORK/pad.scn" -p "$WORK/pty.txt" -t "$WORK/pad.trace" >"$WORK/pad.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/pty.txt" ] && grep -q listening "$WORK/host.out" && break; sleep 0.1; done

cat >"$PAY/DATA/DEVICE.INI" <<INI
COMPORT=1
COMDEVICE=$(cat "$WORK/pty.txt")
LOGLEVEL=2
INI
ln -s "$BUILD/Ravo" "$PAY/Ravo"
ln -s "$BUILD/libRAVOux.so" "$PAY/libRAVOux.so"

run() {
  printf '%s\n' "$1" >"$PAY/RAVORQ.XML"
  echo "== request: $1"
  set +e
  (cd "$PAY" && ./Ravo)
  local rc=$?
  set -e
  echo "== Ravo exit code: $rc; response RAVORS.XML:"
  cat "$PAY/RAVORS.XML" 2>/dev/null || echo "(no response written)"
}

run '<OperationDataRq><OperationType>Sale</OperationType><Amount>1500</Amount><Currency>BYN</Currency></OperationDataRq>'
run '<OperationDataRq><OperationType>DayReport</OperationType></OperationDataRq>'

echo "== what the PIN pad showed (row, text):"
grep -a '^DISPLAY' "$WORK/pad.trace" | iconv -f CP1251 -t UTF-8 | head -20 || true
echo "== what the host received:"
cat "$WORK/host.trace"
echo "== payment directory kept in $PAY (log in $PAY/LOG)"
