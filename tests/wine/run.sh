#!/bin/sh
# Runs one Windows test program under Wine in the build tree's prefix.
# Usage: run.sh BUILD_DIR PROGRAM [ARGS...]
build=$1
shift
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec timeout -k 10 540 wine "$@"
