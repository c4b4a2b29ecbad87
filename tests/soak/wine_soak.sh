#!/bin/sh
# Runs the Windows build's soak under Wine against the registered
# ZLMTessaro.dll, the in-memory provider behind mapi32.dll and the stand-in
# outlook.exe, for SECONDS (the time limit is that plus ten minutes), and
# unregisters the DLL afterwards whatever the result. The mail client's
# registration is made and removed by the soak itself.
# Usage: wine_soak.sh BUILD_DIR SECONDS [SOAK ARGS...]   (BUILD_DIR absolute;
# the prefix is BUILD_DIR/wineprefix unless WINEPREFIX names another)
build=$1 seconds=$2
shift 2
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export TESSARO_OUTLOOK_STANDIN="$build/tests/outlook.exe" TESSARO_MEMMAPI_DLL="$build/memstore/provider/TessaroMemMapi.dll"
server=$(winpath "$build/module/ZLMTessaro.dll")
limit=$(awk -v s="$seconds" 'BEGIN { printf "%d", s + 600 }')
timeout -k 10 120 wine regsvr32 /s "$server" || { echo "regsvr32 $server failed" >&2; exit 1; }
timeout -k 10 "$limit" wine "$build/tests/soak/soak.exe" "$seconds" "$@"
rc=$?
timeout -k 10 120 wine regsvr32 /u /s "$server" || { echo "regsvr32 /u $server failed" >&2; [ $rc -eq 0 ] && rc=1; }
exit $rc
