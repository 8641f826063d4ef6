#!/usr/bin/env bash
# The Debian packages of a build, from cpack to a paying till and back:
#   check_package.sh BUILD_DIR VERSION [PINPAD_EMU HOST_EMU]
# Builds the three packages with the build's CPack configuration, checks
# their dependencies, installs them with dpkg into a fresh root tree (whose
# package database is this machine's, so every dependency is checked against
# what is installed here) and checks the payment directory they lay out. Then
# ravo-demo pays a sale in that directory, a reinstallation keeps its settings
# and batch, and removing the packages leaves DATA as it was.
# The emulators are the installed ones unless PINPAD_EMU and HOST_EMU are given.
set -euo pipefail
[ $# -eq 2 ] || [ $# -eq 4 ] || { echo "usage: $0 BUILD_DIR VERSION [PINPAD_EMU HOST_EMU]" >&2; exit 2; }
# dpkg installs as root; elsewhere the whole check runs under fakeroot, which
# also keeps the owners that the installation sets.
if [ "$(id -u)" -ne 0 ] && [ -z "${FAKEROOTKEY:-}" ]; then
  exec fakeroot -- "$0" "$@"
fi
BUILD=$(cd "$1" && pwd)
VERSION=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
WORK=$(mktemp -d /tmp/ravo-package-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# ---- the packages ----
cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/debs" >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack"; }
ARCH=$(dpkg-deb -f "$WORK"/debs/ravo_*.deb Architecture)
case "$(file -L "$BUILD/libRAVOux.so")" in
  *"ELF 32-bit"*) [ "$ARCH" = i386 ] || fail "a 32-bit build packaged as $ARCH" ;;
  *) [ "$ARCH" = "$(dpkg --print-architecture)" ] || fail "a native build packaged as $ARCH" ;;
esac
# expect_depends PACKAGE DEP...: the package declares each of the dependencies.
expect_depends() {
  local deb="$WORK/debs/${1}_${VERSION}_${ARCH}.deb" dep
  [ -f "$deb" ] || fail "no $(basename "$deb") (made: $(ls "$WORK/debs"))"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  shift
  for dep in "$@"; do
    [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "$deb: Depends '$depends' lacks $dep"
  done
}
expect_depends ravo libc6 libstdc++6 libmbedtls14 libmbedx509-1 libmbedcrypto7 zip
expect_depends ravo-posplugin ravo libqt5core5a libqt5xml5
expect_depends ravo-emulators openssl libmbedtls14

# ---- a fresh root tree with this machine's package database ----
ROOT="$WORK/root"
ADMIN="$ROOT/var/lib/dpkg"
mkdir -p "$ADMIN/info" "$ADMIN/updates"
cp /var/lib/dpkg/status "$ADMIN/status"
cp /var/lib/dpkg/arch "$ADMIN/arch" 2>/dev/null || true
touch "$ADMIN/available"
# The installed packages own no files in the tree: empty file lists.
dpkg-query --admindir="$ADMIN" -W -f='${binary:Package}\n' | while read -r p; do : >"$ADMIN/info/$p.list"; done
# The till's home belongs to its user: the installation hands it the payment directory.
TILL_UID=4321
mkdir -p "$ROOT/poshome/cash"
chown "$TILL_UID:$TILL_UID" "$ROOT/poshome/cash"

# Maintainer scripts run without chroot, with DPKG_ROOT naming the tree.
dpkg_tree() { dpkg --root="$ROOT" --log="$WORK/dpkg.log" --force-script-chrootless "$@"; }
dpkg_tree -i "$WORK"/debs/*.deb >"$WORK/dpkg.out" 2>&1 || { cat "$WORK/dpkg.out"; fail "dpkg -i"; }
audit=$(dpkg_tree --audit ravo ravo-posplugin ravo-emulators 2>&1) && [ -z "$audit" ] || fail "dpkg --audit: $audit"

# ---- the payment directory ----
PAY="$ROOT/poshome/cash/paysystems/velmont"
for program in Ravo PADFEED ravo-check; do
  [ -f "$PAY/$program" ] && [ ! -L "$PAY/$program" ] && [ -x "$PAY/$program" ] || fail "$program not installed as a program"
done
[ "$("$PAY/ravo-check" --version)" = "ravo-check $VERSION" ] || fail "ravo-check --version: $("$PAY/ravo-check" --version)"
LIB="libRAVOux.so.$VERSION"
[ -f "$PAY/$LIB" ] && [ ! -L "$PAY/$LIB" ] || fail "$LIB not installed as a file"
[ "$(readlink "$PAY/libRAVOux.so")" = "$LIB" ] || fail "libRAVOux.so -> '$(readlink "$PAY/libRAVOux.so")', not $LIB"
case "$(stat -c %a "$PAY/$LIB")" in *[2367]) fail "$LIB writable by others" ;; esac
for f in CONFIG.INI DEVICE.INI; do
  cmp -s "$PAY/DATA/$f.sample" "$PAY/DATA/$f" || fail "DATA/$f not made from its sample"
done
for path in "$PAY" "$PAY/DATA" "$PAY/DATA/CONFIG.INI" "$PAY/DATA/DEVICE.INI"; do
  [ "$(stat -c %u:%g "$path")" = "$TILL_UID:$TILL_UID" ] || fail "$path belongs to $(stat -c %u:%g "$path"), not the till's user"
done
PLUGIN=$(dpkg_tree -L ravo-posplugin | grep '/libProcessingVelmont\.so$') || fail "no plug-in in ravo-posplugin"
[ -f "$ROOT$PLUGIN" ] || fail "$PLUGIN not installed"
for emu in pinpad_emu host_emu tmanager_emu ravo-demo; do
  [ -x "$ROOT/usr/bin/$emu" ] || fail "/usr/bin/$emu not installed"
done

# ---- a sale through the installed payment directory ----
if [ $# -eq 4 ]; then
  export PINPAD_EMU=$3 HOST_EMU=$4
fi
TMPDIR="$WORK" "$ROOT/usr/bin/ravo-demo" --in-place "$PAY" >"$WORK/demo.out" 2>&1 || { cat "$WORK/demo.out"; fail "ravo-demo"; }
grep -q "== the sale was approved" "$WORK/demo.out" || { cat "$WORK/demo.out"; fail "no approved sale"; }

# DATA now holds the demo's settings, the batch and the journal.
data_state() { (cd "$PAY/DATA" && find . -type f ! -name '*.sample' -exec md5sum {} + | sort -k 2); }
before=$(data_state)
[ "$(echo "$before" | wc -l)" -gt 3 ] || fail "DATA holds no records after the sale: $before"

# ---- reinstalled, then removed: DATA stays as it was ----
dpkg_tree -i "$WORK"/debs/ravo_*.deb >"$WORK/dpkg.out" 2>&1 || { cat "$WORK/dpkg.out"; fail "dpkg -i again"; }
[ "$(data_state)" = "$before" ] || fail "reinstalling changed DATA: $(diff <(echo "$before") <(data_state))"
dpkg_tree -r ravo-posplugin ravo-emulators ravo >"$WORK/dpkg.out" 2>&1 || { cat "$WORK/dpkg.out"; fail "dpkg -r"; }
[ ! -e "$PAY/Ravo" ] && [ ! -e "$PAY/$LIB" ] && [ ! -L "$PAY/libRAVOux.so" ] || fail "removal left the programs"
[ "$(data_state)" = "$before" ] || fail "removing the packages changed DATA: $(diff <(echo "$before") <(data_state))"
echo "packages: $(cd "$WORK/debs" && ls ./*.deb | tr '\n' ' ')installed, paid, reinstalled and removed"
