#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root), or says
# which are missing (otherwise).
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine32:i386 libwine:i386
  libical-dev xvfb xdotool libx11-dev libxss-dev tzdata pkg-config
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run ./test.sh as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
