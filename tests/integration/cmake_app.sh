#!/usr/bin/env bash
# The CMake integration end to end, as an application author meets it.
# Usage: cmake_app.sh SOURCE_DIR HOST_BUILD_DIR WORK_DIR [WINDOWS_TAVRIN_PACK]
#
# Installs the host build into a fresh prefix, configures a copy of examples/cmake-app against it
# in a clean build directory as the README shows (a cross toolchain file that keeps find_package
# below the target's root, the package named by TavrinOnefile_DIR), builds it, checks the package
# with the installed tavrin-pack, runs greeter.exe under Wine, runs greeter-cached.exe (CACHED,
# UNPACK_DIR beside it, THREADS) twice and finds its tree kept there, and rebuilds after a file is changed,
# added with an old time and deleted. With the Windows build's tavrin-pack.exe given, packs the
# same application with it (one thread) and compares the bytes.
set -euo pipefail
root=$1 host_build=$2 work=$3 windows_pack=${4:-}

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
# Runs a command with its output in a log, shown when it fails.
logged() {
    local log=$work/$1.log
    shift
    "$@" >"$log" 2>&1 || { cat "$log"; fail "$* (see $log)"; }
}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
tool=$prefix/bin/tavrin-pack

step "install the host build into $prefix"
logged install cmake --install "$host_build" --prefix "$prefix"
for file in bin/tavrin-pack share/tavrin-onefile/tavrin-launcher.exe include/tavrin/onefile.h \
            lib/cmake/TavrinOnefile/TavrinOnefileConfig.cmake lib/cmake/TavrinOnefile/TavrinOnefileConfigVersion.cmake \
            lib/cmake/TavrinOnefile/TavrinOnefileOptions.cmake; do
    [ -f "$prefix/$file" ] || fail "the installed layout lacks $file"
done
"$tool" --version | grep -q '^tavrin-pack ' || fail "the installed tool does not run"

step "configure and build examples/cmake-app in a clean directory"
cp -r "$root/examples/cmake-app" "$work/src"
# A usual cross toolchain file: the project's, with packages searched only below the target's root.
printf 'include("%s")\nset(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)\n' "$root/cmake/mingw-w64-x86_64.cmake" >"$work/toolchain.cmake"
logged configure cmake -S "$work/src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DTavrinOnefile_DIR="$prefix/lib/cmake/TavrinOnefile"
logged build cmake --build "$work/build"
exe=$work/build/greeter.exe
[ -f "$exe" ] || fail "the build made no greeter.exe"

step "list and verify it with the installed tool"
"$tool" verify --quiet "$exe" || fail "verify refused greeter.exe"
"$tool" list "$exe" >"$work/list.txt"
names=$(awk 'NR > 1 && NF == 2 && $1 ~ /^[0-9,]+$/ { print $2 }' "$work/list.txt" | tr '\n' ' ')
[ "$names" = 'greeter.dll README.txt messages\hello.txt ' ] || fail "unexpected archive order: $names"
for line in "subsystem    console (subsystem 3)" "company      Example Makers" "product      Greeter" \
            "description  Greets people by name" "version      1.0.2.0 (file), 1.0.2.0 (product)" "file name    greeter.exe"; do
    grep -qF "  $line" "$work/list.txt" || { cat "$work/list.txt"; fail "list does not show '$line'"; }
done
grep -q ", window 16.0 KiB," "$work/list.txt" || { cat "$work/list.txt"; fail "WINDOW 16K did not cap the window"; }

step "run greeter.exe under Wine"
set +e
"$root/scripts/wine-run" --no-display "$exe" Ada "Grace Hopper" >"$work/run.out" 2>"$work/run.err"
code=$?
set -e
[ "$code" = 2 ] || { cat "$work/run.out" "$work/run.err"; fail "exit code $code, expected 2 (two people greeted)"; }
grep -q "^Hello, Ada! This greeting was packed inside greeter.exe." "$work/run.out" || { cat "$work/run.out"; fail "no greeting for Ada"; }
grep -q "^Hello, Grace Hopper!" "$work/run.out" || fail "no greeting for Grace Hopper"

step "greeter-cached.exe, cached mode through CMake: kept beside it after each run"
# Under Wine 8 every process started from Linux is elevated, and an elevated run repairs a tree that
# does not read back sealed: each run here unpacks again. Reuse itself is tested with the limited
# token (launcher_e2e_tests); here the package is what CACHED and UNPACK_DIR ask for, and runs.
cached=$work/build/greeter-cached.exe
"$tool" list "$cached" >"$work/cached-list.txt"
grep -qF '{EXE_DIR}\greeter-cache' "$work/cached-list.txt" || { cat "$work/cached-list.txt"; fail "greeter-cached's list lacks its UNPACK_DIR"; }
kept=$("$tool" cache-dir "$cached" 2>"$work/cache-dir.err") || { cat "$work/cache-dir.err"; fail "greeter-cached.exe is not in cached mode"; }
tree=$work/build/greeter-cache/${kept##*\\}
for run in first second; do
    set +e
    "$root/scripts/wine-run" --no-display "$cached" Ada >"$work/cached-$run.out" 2>&1
    code=$?
    set -e
    [ "$code" = 1 ] || { cat "$work/cached-$run.out"; fail "greeter-cached.exe, $run run: exit code $code, expected 1"; }
    grep -q "^Hello, Ada!" "$work/cached-$run.out" || { cat "$work/cached-$run.out"; fail "greeter-cached.exe, $run run: no greeting"; }
    [ -f "$tree/greeter.dll" ] && [ -f "$tree/messages/hello.txt" ] || fail "greeter-cached.exe, $run run: no kept tree at $tree"
done

step "counter.exe, a program as the entry: listed as one, runs with its file beside it"
counter=$work/build/counter.exe
"$tool" list "$counter" >"$work/counter-list.txt"
for line in "entry counter.exe: an x86-64 console program" "  subsystem    console (subsystem 3)" "  product      counter"; do
    grep -qxF "$line" "$work/counter-list.txt" || { cat "$work/counter-list.txt"; fail "counter's list does not show '$line'"; }
done
set +e
"$root/scripts/wine-run" --no-display "$counter" one two three >"$work/counter.out" 2>&1
code=$?
set -e
[ "$code" = 3 ] || { cat "$work/counter.out"; fail "counter.exe: exit code $code, expected 3"; }
grep -q "^counter: 3 arguments beside 'greeter: says hello" "$work/counter.out" || { cat "$work/counter.out"; fail "counter.exe's output"; }

step "an unchanged build does not repack; a changed file does"
logged rebuild cmake --build "$work/build"
! grep -q "Packing" "$work/rebuild.log" || fail "an unchanged build packed again"
printf 'Hi, %%ls! (changed)\n' >"$work/src/assets/messages/hello.txt"
logged rebuild-changed cmake --build "$work/build"
grep -q "Packing greeter.exe" "$work/rebuild-changed.log" || fail "a changed asset did not repack"
"$root/scripts/wine-run" --no-display "$exe" Ada >"$work/run2.out" 2>&1 || true
grep -q "^Hi, Ada! (changed)" "$work/run2.out" || { cat "$work/run2.out"; fail "the repacked greeter.exe has the old greeting"; }

step "a file added with an old time repacks, and so does deleting it"
listed() { "$tool" list "$exe" | awk -v name="$1" 'NR > 1 && NF == 2 && $2 == name { found = 1 } END { exit !found }'; }
printf 'Old news\n' >"$work/src/assets/messages/old.txt"
touch -d '2001-02-03 04:05:06' "$work/src/assets/messages/old.txt"
logged rebuild-added cmake --build "$work/build"
grep -q "Packing greeter.exe" "$work/rebuild-added.log" || fail "a file added with an old time did not repack"
listed 'messages\old.txt' || fail "the repacked greeter.exe lacks the added file"
rm "$work/src/assets/messages/old.txt"
logged rebuild-deleted cmake --build "$work/build"
grep -q "Packing greeter.exe" "$work/rebuild-deleted.log" || fail "a deleted file did not repack"
! listed 'messages\old.txt' || fail "the repacked greeter.exe still holds the deleted file"

if [ -n "$windows_pack" ]; then
    step "the Windows tavrin-pack.exe packs the same bytes"
    logged windows-pack "$root/scripts/wine-run" --no-display "$windows_pack" "$work/build/greeter-exe.onefile" \
        -o "$work/greeter-windows.exe" --entry greeter.dll \
        --launcher "$prefix/share/tavrin-onefile/tavrin-launcher.exe" --window 16K --threads 1 --quiet \
        --console --company "Example Makers" --product Greeter --app-version 1.0.2.0 \
        --description "Greets people by name" --original-filename greeter.exe
    cmp "$exe" "$work/greeter-windows.exe" || fail "the host and Windows tools packed different bytes"
fi
echo "cmake-app: installed, configured, built, verified, run and repacked"
