#!/usr/bin/env bash
# The benchmarks (bench/README.md): builds the launcher, the benchmark programs and tavrin-pack,
# generates the corpus, packs it, measures under Wine against the physical limits (bench/measure.py)
# and writes bench/RESULTS.md and bench/results.json (bench/report.py). About 20 to 30 minutes on
# 2 cores. Installs what is missing first.
#   TAVRIN_BUILD_DIR   build trees and the benchmark's files in $TAVRIN_BUILD_DIR/bench (default build)
#   TAVRIN_WINEPREFIX  the Wine prefix (default WINEPREFIX if set, else build/wineprefix; see
#                      scripts/wine-env.sh)
#   BENCH_RUNS         rounds of the Windows-side measurements and runs of the packer and zstd (default 5)
#   BENCH_PACK_RUNS    runs of the packer and zstd alone, when they should differ (default BENCH_RUNS)
#   BENCH_LEVELS       packer levels compared with the zstd tool; the first makes the packages (default "19 3")
#   BENCH_WINDOWS      window limits (logs) the first level also packs with, beside the default 2^27
#                      (default "20 23 25"; set and empty: none)
#   BENCH_ONLY         "startup": only the start-up rows (the floors and the cached and temporary runs
#                      set against them, the temporary runs also under each TAVRIN_ONEFILE_SERIAL
#                      setting), a few minutes; the report then holds those alone
#   BENCH_DESKTOP      "0": no runs on a virtual display (xvfb-run), where the progress window shows;
#                      the window's own cost is then left unmeasured (default 1)
set -euo pipefail
. "$(dirname "$0")/builds.sh"
root=$tavrin_root
build=$tavrin_build
jobs=$tavrin_jobs

"$root/scripts/setup.sh"

echo "== Windows build ($build/windows): launcher and benchmark programs"
configure_windows_build
tavrin_logged build-windows cmake --build "$build/windows" -j "$jobs" --target bench
echo "== host build ($build/host): tavrin-pack"
configure_host_build
tavrin_logged build-host cmake --build "$build/host" -j "$jobs" --target tavrin-pack

. "$root/scripts/wine-env.sh"
# A persistent wineserver for the prefix; one that already runs (wineserver -p then exits with 2) is
# used as it is and left running.
wine_prefix_ensure
if wineserver -p </dev/null >>"$wine_log" 2>&1; then
    trap wine_server_stop EXIT
fi
wine cmd /c exit 0 </dev/null >>"$wine_log" 2>&1 || true

python3 "$root/bench/measure.py" --root "$root" --build "$build" --runs "${BENCH_RUNS:-5}" \
        --pack-runs "${BENCH_PACK_RUNS:-${BENCH_RUNS:-5}}" \
        --levels "${BENCH_LEVELS:-19 3}" --windows "${BENCH_WINDOWS-20 23 25}" \
        ${BENCH_ONLY:+--only "$BENCH_ONLY"} $([ "${BENCH_DESKTOP:-1}" != 0 ] || echo --no-desktop)
python3 "$root/bench/report.py" --facts "$build/bench/facts.json" --results "$root/bench/RESULTS.md"
echo "== results: bench/RESULTS.md (and bench/results.json, the figures the next run compares with)"
