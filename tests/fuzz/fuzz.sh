#!/usr/bin/env bash
# Builds the package reader's fuzz target with clang, libFuzzer, AddressSanitizer and UBSan in a build
# of its own and runs it for SECONDS, seeded with the kept damaged blocks (tests/data/damaged). Any
# crash, leak, undefined behaviour, timeout or memory blow-up fails the run; libFuzzer writes the
# input to BUILD_DIR/artifacts/. Extra arguments go to libFuzzer.
# Usage: tests/fuzz/fuzz.sh SOURCE_DIR BUILD_DIR [SECONDS [libFuzzer options...]]
set -euo pipefail
src=$(cd "$1" && pwd)
build=$2
seconds=${3:-30}
shift $(( $# < 3 ? $# : 3 ))

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
cmake -S "$src" -B "$build" -DTAVRIN_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" --target package_fuzzer package_fuzz_seeds -j "$(nproc)" >/dev/null

rm -rf "$build/seeds"
mkdir -p "$build/corpus" "$build/artifacts"
"$build/tests/fuzz/package_fuzz_seeds" "$build/seeds" "$src"/tests/data/damaged/*.block

# New inputs go to the first directory, which lasts from run to run; the seeds are made anew.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
exec "$build/tests/fuzz/package_fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 \
     -max_len=16384 -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$@" \
     "$build/corpus" "$build/seeds"
