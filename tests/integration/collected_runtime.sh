#!/usr/bin/env bash
# A C++ DLL entry linked without -static, packed from its application directory alone: the host tool
# collects the mingw-w64 runtime DLLs it needs, and the package runs under Wine, which has none.
# Usage: collected_runtime.sh TAVRIN_PACK LAUNCHER_IMAGE CXX_DLL_ENTRY WORK_DIR
set -euo pipefail
pack=$1 launcher=$2 entry=$3 work=$4
. "$(dirname "$0")/../../scripts/wine-env.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work/app"
cp "$entry" "$work/app/"

"$pack" "$work/app" -o "$work/app.exe" --launcher "$launcher" --console --level 3 >"$work/summary.txt"
cat "$work/summary.txt"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    grep -q "^  collected  $dll ([^)]*, debug information dropped) from /" "$work/summary.txt" || fail "$dll was not collected"
done

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
