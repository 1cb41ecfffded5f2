#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UBSan in a build of their own
# and runs TARGET for SECONDS:
#   package  the package reader, seeded with the kept damaged blocks (tests/data/damaged);
#   image    the PE header, export, import, resource and icon parsers under a memory limit of
#            256 MB: first each crafted input (tests/support/packer_fixtures.h) once at full size, up
#            to 4 MB, and the inputs it once failed on (tests/data/image-inputs), then fuzzing from
#            small sound and crafted seeds of up to 64 KiB, made anew.
# Any crash, leak, undefined behaviour, timeout or memory blow-up fails the run; libFuzzer writes the
# input to BUILD_DIR/artifacts/. Extra arguments go to libFuzzer.
# Usage: tests/fuzz/fuzz.sh TARGET SOURCE_DIR BUILD_DIR [SECONDS [libFuzzer options...]]
set -euo pipefail
target=$1
src=$(cd "$2" && pwd)
build=$3
seconds=${4:-30}
shift $(( $# < 4 ? $# : 4 ))

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
mkdir -p "$build"
cmake -S "$src" -B "$build" -DTAVRIN_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >"$build/configure.log"
cmake --build "$build" --target "${target}_fuzzer" "${target}_fuzz_seeds" -j "$(nproc)" >"$build/build-$target.log"

# New inputs go to the first directory, which lasts from run to run; the seeds are made anew.
seeds=$build/seeds/$target
rm -rf "$seeds" "$seeds-crafted"
mkdir -p "$build/corpus/$target" "$build/artifacts"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
case $target in
package)
    "$build/tests/fuzz/package_fuzz_seeds" "$seeds" "$src"/tests/data/damaged/*.block
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    limits=(-rss_limit_mb=2560 -max_len=16384)
    ;;
image)
    "$build/tests/fuzz/image_fuzz_seeds" "$seeds" "$seeds-crafted"
    # A small quarantine, so that freed memory held back by AddressSanitizer stays far below the limit.
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:quarantine_size_mb=16
    limits=(-rss_limit_mb=256 -malloc_limit_mb=256)
    "$build/tests/fuzz/image_fuzzer" "${limits[@]}" -timeout=60 -artifact_prefix="$build/artifacts/$target-" \
        "$seeds-crafted"/* "$src"/tests/data/image-inputs/*
    limits+=(-max_len=65536)
    ;;
esac
exec "$build/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=60 "${limits[@]}" \
     -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$@" "$build/corpus/$target" "$seeds"
