#!/bin/sh
# The zone cross-check: runs tests/zone_crosscheck natively (the Linux build's
# program) and under Wine (the Windows build's), for the table and for the
# machine zone under several TZ values, and compares the two outputs.
# Usage: crosscheck.sh BUILD_DIR WINDOWS_PROGRAM NATIVE_PROGRAM OUT_DIR
# Exits 77 (skipped) when there is no native program.
build=$1 winprog=$2 native=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$native" ]; then
  echo "zone cross-check skipped: no native program at $native"
  echo "(build the Linux target first and configure this one with -DTESSARO_NATIVE_BUILD=<its build dir>)"
  exit 77
fi
rm -rf "$out" && mkdir -p "$out" && cd "$out" || exit 1
"$native" table native.txt || exit 1
"$here/run.sh" "$build" "$winprog" table wine.txt || exit 1
for tz in - America/New_York Europe/Berlin Australia/Sydney Asia/Kolkata UTC Pacific/Chatham; do
  if [ "$tz" = - ]; then
    env -u TZ "$native" machine native.txt || exit 1
    env -u TZ "$here/run.sh" "$build" "$winprog" machine wine.txt || exit 1
  else
    TZ=$tz "$native" machine native.txt || exit 1
    TZ=$tz "$here/run.sh" "$build" "$winprog" machine wine.txt || exit 1
  fi
done
if cmp -s native.txt wine.txt; then
  echo "zone cross-check: $(wc -l <native.txt) lines, native and Wine agree"
  exit 0
fi
echo "zone cross-check: native and Wine differ (files in $out):"
diff native.txt wine.txt | head -80
exit 1
