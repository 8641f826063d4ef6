#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the demo and the
# Debian packages (cpack: dpkg-shlibdeps, file; fakeroot when not root) use,
# when any of them is missing; with --fuzz also clang and its libFuzzer runtime.
set -euo pipefail
PACKAGES=(build-essential cmake pkg-config libgtest-dev libmbedtls-dev
          qtbase5-dev libqt5xml5 gnutls-bin zip util-linux procps openssl
          dpkg-dev file fakeroot)
if [ "${1:-}" = "--fuzz" ]; then
  PACKAGES+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
