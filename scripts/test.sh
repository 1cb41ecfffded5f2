#!/usr/bin/env bash
# Builds both builds and runs every test: the host build (packer and its tests, native) and the
# Windows build (launcher, packer and tests under Wine). Installs what is missing first.
# TAVRIN_BUILD_DIR (default build) holds both build trees; extra arguments go to both ctest runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}
jobs=$(nproc)

"$root/scripts/setup.sh"

echo "== host build ($build/host)"
cmake -S "$root" -B "$build/host" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/host" -j "$jobs"

echo "== Windows build ($build/windows)"
cmake -S "$root" -B "$build/windows" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j "$jobs"

status=0
echo "== host tests"
(cd "$build/host" && ctest --output-on-failure -j "$jobs" "$@") || status=1
echo "== Windows tests (under Wine)"
(cd "$build/windows" && ctest --output-on-failure "$@") || status=1
exit $status
