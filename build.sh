#!/usr/bin/env bash
# Builds libquorvel and its tests from a fresh clone, installing the Debian
# packages the build needs first (only those that are missing).
#   ./build.sh            release build with tests in build/
#   ./build.sh --bench    also the benchmarks (pulls in the peer libraries)
# QUORVEL_TESTDATA_DIR in the environment says where the conformance data
# lies when it is not beside the clone (../shared/testdata).
set -euo pipefail
cd "$(dirname "$0")"

bench=OFF
for arg in "$@"; do
  case "$arg" in
    --bench) bench=ON ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

packages=(g++ clang cmake ninja-build python3 pkg-config binutils libgtest-dev libgmock-dev libxml2-dev)
if [ "$bench" = ON ]; then
  packages+=(libbenchmark-dev libxml2-dev libexpat1-dev libpugixml-dev libgumbo-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# Four jobs at most: the machine is shared, and the test files are heavy.
jobs=$(( $(nproc) < 4 ? $(nproc) : 4 ))
# Warnings are errors here and in CI; a plain cmake build leaves them warnings.
data_option=()
[ -n "${QUORVEL_TESTDATA_DIR:-}" ] && data_option=(-DQUORVEL_TESTDATA_DIR="$QUORVEL_TESTDATA_DIR")
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_WERROR=ON -DQUORVEL_BUILD_BENCH="$bench" \
  "${data_option[@]}"
cmake --build build -j "$jobs"
