#!/usr/bin/env bash
# Installs the Debian 12 i386 packages that the 32-bit build and its tests use,
# beside the 64-bit ones, when any of them is missing.
set -euo pipefail
PACKAGES=(g++-multilib libmbedtls-dev:i386 libgtest-dev:i386
          qtbase5-dev:i386 libqt5xml5:i386)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  $SUDO apt-get update -qq
  # Multi-Arch "same" libraries must carry one version on both architectures:
  # apt may upgrade a 64-bit library to match its i386 twin.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
