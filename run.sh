#!/usr/bin/env bash
# Builds the command-line host and runs it: ./run.sh [COMMAND [ARGS...]].
# With no arguments it runs the demo.
set -euo pipefail
cd "$(dirname "$0")"
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then ./tools/install-deps.sh; fi
mkdir -p build
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DTESSARO_BENCH=OFF -DTESSARO_TESTS=OFF >build/run.configure.log 2>&1 ||
  { cat build/run.configure.log; exit 1; }
cmake --build build/run -j2 --target tessaro >build/run.build.log 2>&1 || { cat build/run.build.log; exit 1; }
exec build/run/host/tessaro "$@"
