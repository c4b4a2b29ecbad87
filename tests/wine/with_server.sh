#!/bin/sh
# Runs one Windows program under Wine with ZLMTessaro.dll registered in the
# build tree's prefix (regsvr32), and unregisters it afterwards whatever the
# program's result.
# Usage: with_server.sh BUILD_DIR SERVER_DLL PROGRAM [ARGS...]
build=$1 server=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
winpath="Z:$(printf '%s' "$server" | tr / '\\')"
"$here/run.sh" "$build" regsvr32 /s "$winpath" || { echo "regsvr32 $winpath failed" >&2; exit 1; }
"$here/run.sh" "$build" "$@"
rc=$?
"$here/run.sh" "$build" regsvr32 /u /s "$winpath" || { echo "regsvr32 /u $winpath failed" >&2; [ $rc -eq 0 ] && rc=1; }
exit $rc
