#!/usr/bin/env bash
# Writes a card-range table (DATA/RANGE.CFG) for a test till:
#   scripts/make_range_cfg.sh OUTPUT PREFIX=NAME [PREFIX=NAME ...]
# One 131-byte record per argument, in the order given: the card-number prefix
# (1 to 19 digits, or "*" alone to match every card), the payment-system name
# printed on receipts (1 to 30 bytes, ASCII or Windows-1251), then the flags: PIN
# asked for on a magnetic-stripe purchase, chip permitted, refunds and balance
# inquiries allowed. The PIN pad reports the number of the range it matched;
# the library searches from the last record, so put a catch-all '*=NAME'
# (quoted, or the shell expands the "*") first.
set -euo pipefail
export LC_ALL=C  # lengths in bytes

usage() {
  echo "usage: $0 OUTPUT PREFIX=NAME [PREFIX=NAME ...]   e.g. $0 DATA/RANGE.CFG 4=VISA 5=MASTERCARD" >&2
  exit 2
}
[ $# -ge 2 ] || usage
out=$1
shift

# A text field: the text, then zeros up to its width (at least one terminating zero).
field() {
  printf '%s' "$1"
  head -c $(($2 - ${#1})) /dev/zero
}

record() {
  local prefix=$1 name=$2
  case $prefix in
    '*') ;;
    *[!0-9]* | '')
      echo "$0: prefix '$prefix' must be '*' or 1 to 19 digits" >&2
      exit 2 ;;
  esac
  if [ ${#prefix} -gt 19 ]; then
    echo "$0: prefix '$prefix' must be '*' or 1 to 19 digits" >&2
    exit 2
  fi
  if [ -z "$name" ] || [ ${#name} -gt 30 ]; then
    echo "$0: name '$name' must have 1 to 30 bytes" >&2
    exit 2
  fi
  field "$prefix" 20
  field "$name" 31
  printf '\001\001'           # PIN, chip
  head -c 4 /dev/zero         # kept for the PIN pad
  printf '\001\001'           # refunds, balance
  head -c 72 /dev/zero        # kept for the PIN pad
}

tmp="$out.tmp"
trap 'rm -f "$tmp"' EXIT
for arg in "$@"; do
  case $arg in
    *=*) record "${arg%%=*}" "${arg#*=}" ;;
    *) usage ;;
  esac
done >"$tmp"
mv "$tmp" "$out"
