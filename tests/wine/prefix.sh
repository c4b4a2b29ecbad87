#!/bin/sh
# Creates (setup) or stops (cleanup) the Wine prefix the Windows tests run in.
# Usage: prefix.sh BUILD_DIR setup|cleanup
build=$1
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$2" in
  setup)
    timeout 60 wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX"
    timeout 240 wineboot -i || { echo "wineboot failed" >&2; exit 1; }
    timeout 120 wineserver -w
    test -f "$WINEPREFIX/system.reg"
    ;;
  cleanup)
    timeout 60 wineserver -k 2>/dev/null
    exit 0
    ;;
  *) echo "usage: $0 BUILD_DIR setup|cleanup" >&2; exit 2 ;;
esac
