#!/usr/bin/env bash
# Builds both targets and runs every test: natively, under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the Windows build under Wine.
set -uo pipefail
cd "$(dirname "$0")"
root=$PWD
jobs=${JOBS:-2}

./tools/install-deps.sh || exit 1

failed=()
step() {  # step NAME COMMAND...
  local name=$1
  shift
  echo "=== $name"
  if ! "$@"; then failed+=("$name"); fi
}

configure_and_test() {  # NAME BUILD_DIR CMAKE_ARGS...
  local name=$1 dir=$2
  shift 2
  cmake -S "$root" -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { grep -E 'error|Error' "$dir.build.log" | head -50; return 1; }
  (cd "$dir" && ctest --output-on-failure -j1)
}

# Only the threaded tests run under ThreadSanitizer: the watcher thread and
# the update passes, the platform's threads and events, and a short soak.
tsan_tests() {
  local dir=build/tsan
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_TSAN=ON -DTESSARO_BENCH=OFF \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" --target calpresence_tests platform_tests soak >"$dir.build.log" 2>&1 ||
    { grep -E 'error|Error' "$dir.build.log" | head -50; return 1; }
  (cd "$dir" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --output-on-failure -j1 -R '^(calpresence_tests|platform_tests|soak_short)$')
}

mkdir -p build
step "Linux" configure_and_test linux build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "Linux, ASan+UBSan" configure_and_test asan build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=ON \
  -DTESSARO_BENCH=OFF
step "Linux, ThreadSanitizer" tsan_tests
# The Windows tests include the zone cross-check, which runs the Linux build's
# zone_crosscheck beside the Windows one under Wine and compares the outputs.
step "Windows under Wine" configure_and_test windows build/win -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DTESSARO_NATIVE_BUILD="$root/build/linux"

# The parsers' and the walk's fuzzers, each for a short bounded time from the
# committed seed corpus (clang, libFuzzer, ASan+UBSan).
step "Fuzzers" ./fuzz/run.sh "${FUZZ_SECONDS:-15}"

if [ ${#failed[@]} -ne 0 ]; then
  printf -v list '%s; ' "${failed[@]}"
  echo "FAILED: ${list%; }"
  exit 1
fi
echo "All test runs passed."
