#!/usr/bin/env bash
# A card sale end to end, then a day report, through a payment directory's
# Ravo and libRAVOux.so: the emulated PIN pad presents a card on a
# pseudo-terminal, the emulated acquiring host approves over TLS. Prints each
# response with its receipt, what the pad showed and what the host received.
# Installed by the ravo-emulators package as ravo-demo.
#
#   ravo-demo [PAYDIR]             runs in a scratch payment directory whose Ravo
#                                  and libRAVOux.so are links to PAYDIR's (default
#                                  /poshome/cash/paysystems/velmont); PAYDIR's own
#                                  DATA is not touched
#   ravo-demo --in-place PAYDIR    runs in PAYDIR itself: its DATA/CONFIG.INI,
#                                  DATA/DEVICE.INI and DATA/RANGE.CFG become the
#                                  demo's (for a payment directory made to try out)
#
# The emulators are pinpad_emu and host_emu beside this script, or the programs
# PINPAD_EMU and HOST_EMU name. Exits 0 when the sale was approved.
set -euo pipefail

usage() { echo "usage: $0 [--in-place] [PAYDIR]" >&2; exit 2; }
in_place=no
if [ "${1:-}" = --in-place ]; then
  in_place=yes
  shift
  [ $# -eq 1 ] || usage
fi
[ $# -le 1 ] || usage
PAYDIR=$(cd "${1:-/poshome/cash/paysystems/velmont}" && pwd)
[ -x "$PAYDIR/Ravo" ] && [ -e "$PAYDIR/libRAVOux.so" ] || { echo "$PAYDIR: no Ravo and libRAVOux.so" >&2; exit 3; }

HERE=$(cd "$(dirname "$0")" && pwd)
PINPAD_EMU=${PINPAD_EMU:-$HERE/pinpad_emu}
HOST_EMU=${HOST_EMU:-$HERE/host_emu}
# The test PKI and card-range scripts: beside this script in the source tree,
# in the emulators package's share folder when installed.
TOOLS=$HERE
[ -x "$TOOLS/make_test_pki.sh" ] || TOOLS=$(cd "$HERE/../share/ravo-emulators" && pwd)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ravo-demo-XXXXXX")
if [ $in_place = yes ]; then
  PAY=$PAYDIR
else
  PAY="$WORK/pay"
  mkdir -p "$PAY"
  ln -s "$PAYDIR/Ravo" "$PAY/Ravo"
  ln -s "$PAYDIR/libRAVOux.so" "$PAY/libRAVOux.so"
fi
mkdir -p "$PAY/DATA"
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# A test PKI: the host's certificate, and the terminal's TLS files, which the
# PIN pad keeps and hands to the terminal.
"$TOOLS/make_test_pki.sh" "$WORK/pki" >/dev/null

# Card ranges: every operation needs the table, even a day report.
"$TOOLS/make_range_cfg.sh" "$PAY/DATA/RANGE.CFG" 4=VISA 5=MASTERCARD

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

"$HOST_EMU" --cert "$WORK/pki/host.crt" --key "$WORK/pki/host.key" --ca "$WORK/pki/ca.crt" \
  --port 0 --port-file "$WORK/host.port" --scenario "$WORK/host.scn" --trace "$WORK/host.trace" >"$WORK/host.out" 2>&1 &
PIDS+=($!)
"$PINPAD_EMU" -s "$WORK/pad.scn" -p "$WORK/pty.txt" -t "$WORK/pad.trace" >"$WORK/pad.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/pty.txt" ] && [ -s "$WORK/host.port" ] && break; sleep 0.1; done
[ -s "$WORK/pty.txt" ] && [ -s "$WORK/host.port" ] || { cat "$WORK/host.out" "$WORK/pad.out" >&2; exit 4; }

cat >"$PAY/DATA/CONFIG.INI" <<INI
; terminal and acquiring host
TERMINALID=DEMO0001
HOST=127.0.0.1
SECPORT=$(cat "$WORK/host.port")
KWRMHOST=127.0.0.1
KWRMPORT=17444
OPENKEY=0123456789ABCDEF0123456789ABCDEF
BANKTITLE=DEMO BANK
BANKID=100000001
ENABLEDCURRENCY=BYN|USD|
CHEQUEWIDTH=32
INI
cat >"$PAY/DATA/DEVICE.INI" <<INI
COMPORT=1
COMDEVICE=$(cat "$WORK/pty.txt")
LOGLEVEL=2
INI

# run REQUEST: one call of Ravo; prints the response, returns Ravo's exit code.
run() {
  printf '%s\n' "$1" >"$PAY/RAVORQ.XML"
  echo "== request: $1"
  local rc=0
  (cd "$PAY" && ./Ravo) || rc=$?
  echo "== Ravo exit code: $rc; response RAVORS.XML:"
  cat "$PAY/RAVORS.XML" 2>/dev/null || echo "(no response written)"
  return $rc
}

approved=no
if run '<OperationDataRq><OperationType>Sale</OperationType><Amount>1500</Amount><Currency>BYN</Currency></OperationDataRq>' \
   && grep -q '<ResultCode>0</ResultCode>' "$PAY/RAVORS.XML"; then
  approved=yes
fi
run '<OperationDataRq><OperationType>DayReport</OperationType></OperationDataRq>' || true

echo "== what the PIN pad showed (row, text):"
grep -a '^DISPLAY' "$WORK/pad.trace" | iconv -f CP1251 -t UTF-8 | head -20 || true
echo "== what the host received:"
cat "$WORK/host.trace"
echo "== payment directory $PAY (log in $PAY/LOG)"
[ $approved = yes ] || { echo "== the sale was not approved" >&2; exit 1; }
echo "== the sale was approved"
