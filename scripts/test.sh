#!/usr/bin/env bash
# Builds both builds and runs every test: the Windows build (launcher, packer and tests under Wine)
# and the host build (packer and its tests, native; the CMake integration test, which installs the
# host build with the Windows build's launcher image). Installs what is missing first.
# TAVRIN_BUILD_DIR (default build) holds both build trees; extra arguments go to both ctest runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}
jobs=$(nproc)

"$root/scripts/setup.sh"

# The Windows build first: the host build installs its launcher image, and the host tests compare
# its tavrin-pack.exe with the host tool.
echo "== Windows build ($build/windows)"
cmake -S "$root" -B "$build/windows" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j "$jobs"

echo "== host build ($build/host)"
cmake -S "$root" -B "$build/host" -DCMAKE_BUILD_TYPE=Release \
      -DTAVRIN_LAUNCHER_IMAGE="$build/windows/launcher/tavrin-launcher.exe" \
      -DTAVRIN_WINDOWS_PACK_TOOL="$build/windows/packer/tavrin-pack.exe" >/dev/null
cmake --build "$build/host" -j "$jobs"

status=0
echo "== host tests"
(cd "$build/host" && ctest --output-on-failure -j "$jobs" "$@") || status=1
echo "== Windows tests (under Wine)"
(cd "$build/windows" && ctest --output-on-failure -LE slow "$@") || status=1
exit $status
