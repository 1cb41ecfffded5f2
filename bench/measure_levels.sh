#!/usr/bin/env bash
# Measures the compression levels on one application directory: the numbers behind the default
# level in README.md. Usage: [WINDOW=N] bench/measure_levels.sh TAVRIN_PACK LAUNCHER_IMAGE APP_DIR [LEVEL ...]
#
# Packs at each level (with --window N when WINDOW is set) and prints a Markdown table: the attached
# data's size and ratio, the frame's window (what the launcher's decoder allocates at each start),
# the time to pack, and the time to decode it all (verify, which decodes as the launcher does when
# it unpacks).
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 TAVRIN_PACK LAUNCHER_IMAGE APP_DIR [LEVEL ...]" >&2; exit 2; }
tool=$1 launcher=$2 app=$3
shift 3
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(1 3 6 9 12 15 17 19 20 22)
window=()
[ -z "${WINDOW:-}" ] || window=(--window "$WINDOW")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

now() { date +%s.%N; }
bytes_in=$(find -L "$app" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
files=$(find -L "$app" -type f | wc -l)
echo "$files files, $bytes_in bytes, $(nproc) threads${WINDOW:+, --window $WINDOW}"
echo
echo "| level | attached data | ratio | window | pack | decode |"
echo "|---:|---:|---:|---:|---:|---:|"
for level in "${levels[@]}"; do
    start=$(now)
    "$tool" "$app" -o "$out/app.exe" --launcher "$launcher" --level "$level" "${window[@]}" --quiet
    packed=$(now)
    "$tool" verify --quiet "$out/app.exe"
    decoded=$(now)
    totals=$("$tool" list "$out/app.exe" | grep -E "^[0-9,]+ files?, ")
    size=$(sed -E 's/.*attached data ([0-9,]+) bytes.*/\1/' <<<"$totals" | tr -d ,)
    window=$(sed -E 's/.*window ([^,]+),.*/\1/' <<<"$totals")
    awk -v level="$level" -v size="$size" -v total="$bytes_in" -v window="$window" -v s="$start" -v p="$packed" -v d="$decoded" 'BEGIN {
        printf "| %d | %.1f MiB | %.2f | %s | %.1f s | %.1f s |\n", level, size / 1048576, total / size, window, p - s, d - p }'
done
