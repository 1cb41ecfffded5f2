#!/usr/bin/env bash
# Builds both builds and runs every test: the Windows build (launcher, packer and tests under Wine)
# and the host build (packer and its tests, native; the CMake integration test, which installs the
# host build with the Windows build's launcher image). Installs what is missing first.
# TAVRIN_BUILD_DIR (default build) holds both build trees; extra arguments go to both ctest runs.
set -euo pipefail
. "$(dirname "$0")/builds.sh"
build=$tavrin_build
jobs=$tavrin_jobs

"$tavrin_root/scripts/setup.sh"

# The Windows build first: the host build installs its launcher image.
echo "== Windows build ($build/windows)"
configure_windows_build
cmake --build "$build/windows" -j "$jobs"

echo "== host build ($build/host)"
configure_host_build
cmake --build "$build/host" -j "$jobs"

status=0
echo "== host tests"
(cd "$build/host" && ctest --output-on-failure -j "$jobs" "$@") || status=1
echo "== Windows tests (under Wine)"
(cd "$build/windows" && ctest --output-on-failure -LE slow "$@") || status=1
exit $status
