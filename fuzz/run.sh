#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each from its seed corpus.
#   fuzz/run.sh [SECONDS]          each fuzzer for SECONDS (default 20)
#   fuzz/run.sh --runs N           each fuzzer for N executions
#   fuzz/run.sh --corpus           rewrite the seed corpus with the blob writer
# New inputs go to build/fuzz/work/<fuzzer>; the committed corpus is only read.
# Without clang the fuzzers are skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz
limit=(-max_total_time="${1:-20}")
case "${1:-}" in
  --runs) limit=(-runs="${2:?}") ;;
  --corpus) ;;
esac

if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzzers skipped"
  exit 0
fi
mkdir -p "$build"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"${JOBS:-2}" >"$build.build.log" 2>&1 || { grep -E 'error' "$build.build.log" | head -50; exit 1; }

harnesses=(recurrence_pattern appointment_recurrence time_zone_struct adjust_for_occurred)
# The Linux registry file and the registrar's scripts (their seeds are text
# files in fuzz/corpus/, written by hand).
harnesses+=(file_registry registrar)
# The surfaces a page or a person feeds: the controls' IDispatch, calendar
# files, the formatter.
harnesses+=(invoke calendar_file format)
if [ "${1:-}" = "--corpus" ]; then
  for h in recurrence_pattern appointment_recurrence time_zone_struct; do
    rm -rf "fuzz/corpus/$h" && mkdir -p "fuzz/corpus/$h"
  done
  exec "$build/make_corpus" fuzz/corpus
fi

status=0
for h in "${harnesses[@]}"; do
  mkdir -p "$build/work/$h" "$build/artifacts/$h"
  echo "=== fuzz_$h ${limit[*]}"
  # The walk's inputs begin with the instants and the zone; the appointment
  # blobs of the corpus serve as its seeds.
  corpus=fuzz/corpus/$h
  [ -d "$corpus" ] || corpus=fuzz/corpus/appointment_recurrence
  if ! "$build/fuzz_$h" "${limit[@]}" -max_len=4096 -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$h/" "$build/work/$h" "$corpus" >"$build/$h.log" 2>&1; then
    tail -40 "$build/$h.log"
    status=1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$h.log" || true
done
exit $status
