#!/usr/bin/env bash
# Runs every test: the normal build's suite, then the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), then the
# tests that share documents and caches between threads under
# ThreadSanitizer (build-tsan/).
#   ./run_tests.sh            all three
#   ./run_tests.sh --fast     the normal build only
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(( $(nproc) < 4 ? $(nproc) : 4 ))

[ -d build ] || ./build.sh
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${1:-}" != "--fast" ]; then
  data_option=()
  [ -n "${QUORVEL_TESTDATA_DIR:-}" ] && data_option=(-DQUORVEL_TESTDATA_DIR="$QUORVEL_TESTDATA_DIR")
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_WERROR=ON \
    -DQUORVEL_SANITIZE=address,undefined "${data_option[@]}" >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_WERROR=ON \
    -DQUORVEL_SANITIZE=thread "${data_option[@]}" >/dev/null
  cmake --build build-tsan -j "$jobs" --target quorvel_tests
  # Every test that runs threads has "Thread" in its name.
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R Thread
fi
