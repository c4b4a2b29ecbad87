#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root), or says
# which are missing (otherwise); then checks that every program and file the
# build and the tests call is there, naming the package that should bring a
# missing one.
#   tools/install-deps.sh             install what is missing, then check
#   tools/install-deps.sh --packages  print the package list, one a line
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine32:i386 libwine:i386
  libical-dev xvfb xdotool libx11-dev libxss-dev tzdata pkg-config
)

# What the build and the tests run or read, each with the package that
# provides it on Debian. A path (a pattern) is checked as a file; a bare name
# through PATH.
needed=(
  "cmake:cmake" "ctest:cmake" "make:make" "g++:g++" "pkg-config:pkg-config"
  "clang++:clang"
  "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev"
  "i686-w64-mingw32-g++:g++-mingw-w64-i686" "i686-w64-mingw32-windres:binutils-mingw-w64-i686"
  "i686-w64-mingw32-widl:mingw-w64-tools"
  "/usr/include/wine/wine/windows/oaidl.idl:libwine-dev"
  "/usr/lib/i386-linux-gnu/wine/i386-windows/stdole2.tlb:libwine:i386"
  "wine:wine" "wineserver:wine" "timeout:coreutils"
  "Xvfb:xvfb" "xdotool:xdotool"
  "/usr/include/gtest/gtest.h:libgtest-dev" "/usr/include/benchmark/benchmark.h:libbenchmark-dev"
  "/usr/include/libical/ical.h:libical-dev" "/usr/include/X11/extensions/scrnsaver.h:libxss-dev"
  "/usr/share/zoneinfo/Europe/Berlin:tzdata"
)

if [ "${1:-}" = "--packages" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
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
fi

# The packages can be there and a program still missing (a tool that a
# package only recommends, a name that another version spells differently).
absent=0
for entry in "${needed[@]}"; do
  what=${entry%%:*} package=${entry#*:}
  if [[ $what == /* ]]; then
    compgen -G "$what" >/dev/null && continue
  else
    command -v "$what" >/dev/null 2>&1 && continue
  fi
  echo "missing: $what (should come with the package $package)" >&2
  absent=1
done
exit $absent
