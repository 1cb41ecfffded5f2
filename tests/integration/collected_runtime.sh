#!/usr/bin/env bash
# A C++ DLL entry and a C++ program, linked without -static, each packed from its application
# directory alone: the host tool collects the mingw-w64 runtime DLLs they need, and the packages run
# under Wine, which has none.
# Usage: collected_runtime.sh TAVRIN_PACK LAUNCHER_IMAGE CXX_DLL_ENTRY CPP_PROGRAM WORK_DIR
set -euo pipefail
pack=$1 launcher=$2 entry=$3 program=$4 work=$5
. "$(dirname "$0")/../../scripts/wine-env.sh"
unset DISPLAY  # as every test: no window, whatever display the session has

fail() { echo "FAIL: $*" >&2; exit 1; }
# Packs DIR into OUT.exe with OPTIONS and requires the three runtime DLLs collected and stripped.
pack_collecting() {
    local dir=$1 out=$2
    shift 2
    "$pack" "$dir" -o "$out" --launcher "$launcher" --level 3 "$@" >"$out.summary"
    cat "$out.summary"
    for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        grep -q "^  collected  $dll ([^)]*, debug information dropped) from /" "$out.summary" ||
            fail "$dll was not collected for $out"
    done
}
rm -rf "$work"
mkdir -p "$work/app" "$work/program"
cp "$entry" "$work/app/"
cp "$program" "$work/program/"
echo "a greeting beside the program" >"$work/program/greeting.txt"

pack_collecting "$work/app" "$work/app.exe" --console

# The prefix has none of them: without collection the entry cannot be loaded.
"$pack" "$work/app" -o "$work/bare.exe" --launcher "$launcher" --console --level 1 --quiet --no-collect \
    --allow-missing libstdc++-6.dll --allow-missing libgcc_s_seh-1.dll
status=0
wine "$work/bare.exe" </dev/null >"$work/bare.out" 2>"$work/bare.err" || status=$?
[ "$status" = 2 ] && grep -q '^Error, load DLL\.' "$work/bare.err" || fail "the bare package ended with $status: $(cat "$work/bare.err")"

status=0
wine "$work/app.exe" one two </dev/null >"$work/app.out" 2>"$work/app.err" || status=$?
[ "$status" = 43 ] || fail "the package ended with $status, not 43: $(cat "$work/app.err")"
[ "$(tr -d '\r' <"$work/app.out")" = "collected runtime" ] || fail "unexpected output: $(cat "$work/app.out")"
"$pack" list "$work/app.exe" | awk '/ lib.*\.dll$/ { gsub(",", "", $1); total += $1 }
    END { printf "the collected DLLs: %d bytes unpacked\n", total }'

# The program, with nothing but --entry: its own (console) subsystem, the runtime beside it.
pack_collecting "$work/program" "$work/program.exe" --entry "$(basename "$program")"
status=0
wine "$work/program.exe" 7 "two words" </dev/null >"$work/program.out" 2>"$work/program.err" || status=$?
[ "$status" = 7 ] || fail "the program's package ended with $status, not 7: $(cat "$work/program.err")"
[ "$(tr -d '\r' <"$work/program.out")" = "$(printf 'args: 7 two words\ngreeting: a greeting beside the program')" ] ||
    fail "unexpected output of the program: $(cat "$work/program.out")"
