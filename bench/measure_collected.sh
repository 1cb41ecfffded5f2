#!/usr/bin/env bash
# Measures packing a C++ DLL entry built without -static at one level: with the runtime DLLs that
# tavrin-pack collects (debug information dropped), against the toolchain's unstripped copies put in
# the application directory by hand. Prints a Markdown table; not part of scripts/bench.sh.
# Usage: [RUNS=3] [LEVEL=19] bench/measure_collected.sh TAVRIN_PACK LAUNCHER_IMAGE CXX_DLL_ENTRY
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 TAVRIN_PACK LAUNCHER_IMAGE CXX_DLL_ENTRY" >&2; exit 2; }
tool=$1 launcher=$2 entry=$3
runs=${RUNS:-3} level=${LEVEL:-19}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

mkdir -p "$out/collected" "$out/by-hand"
cp "$entry" "$out/collected/"
cp "$entry" "$out/by-hand/"
# The copies a user finds by hand: where the toolchain's compiler says they are.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)" "$out/by-hand/"
done

now() { date +%s.%N; }
echo "level $level, $(nproc) threads, median of $runs runs; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| application directory | bytes in | attached data | executable | pack (median) | pack (runs) |"
echo "|---|---:|---:|---:|---:|---|"
for case in collected by-hand; do
    times=()
    for _ in $(seq "$runs"); do
        start=$(now)
        "$tool" "$out/$case" -o "$out/$case.exe" --launcher "$launcher" --level "$level" --quiet
        times+=("$(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }')")
    done
    totals=$("$tool" list "$out/$case.exe" | grep -E "^[0-9,]+ files?, ")
    bytes_in=$(sed -E 's/.*directories?, ([0-9,]+) bytes.*/\1/' <<<"$totals" | tr -d ,)
    attached=$(sed -E 's/.*attached data ([0-9,]+) bytes.*/\1/' <<<"$totals" | tr -d ,)
    median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')
    label=$([ "$case" = collected ] && echo "the entry alone; runtime collected, debug information dropped" ||
            echo "the entry and the toolchain's unstripped runtime DLLs, copied by hand")
    awk -v label="$label" -v b="$bytes_in" -v a="$attached" -v x="$(stat -c %s "$out/$case.exe")" -v m="$median" -v all="${times[*]}" 'BEGIN {
        printf "| %s | %.2f MiB | %.2f MiB | %.2f MiB | %.1f s | %s s |\n", label, b / 1048576, a / 1048576, x / 1048576, m, all }'
done
