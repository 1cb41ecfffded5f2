#!/usr/bin/env bash
# The demo: builds everything, packs examples/hello into one .exe with tavrin-pack, runs it under
# Wine with a few arguments, and shows its output, its exit code and that nothing is left in %TEMP%.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}
jobs=$(nproc)

"$root/scripts/setup.sh"
echo "== building (Windows: launcher and example; host: tavrin-pack)"
cmake -S "$root" -B "$build/windows" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j "$jobs" --target tavrin-launcher hello >/dev/null
cmake -S "$root" -B "$build/host" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/host" -j "$jobs" --target tavrin-pack >/dev/null

app="$build/windows/examples/hello/app"
out="$build/demo/hello.exe"
mkdir -p "$build/demo"
echo "== packing $app"
"$build/host/packer/tavrin-pack" "$app" -o "$out" --launcher "$build/windows/launcher/tavrin-launcher.exe"
ls -l "$out"

. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
temp_dir="$WINEPREFIX/drive_c/users/$(whoami)/Temp"

echo "== running: hello.exe \"two words\" 'quote\"d' --exit 7"
set +e
wine "$out" "two words" 'quote"d' --exit 7
code=$?
set -e
echo "== exit code: $code"
left=$(find "$temp_dir" -maxdepth 1 -name 'onefile_*' 2>/dev/null | wc -l)
echo "== unpack directories left in %TEMP%: $left"
[ "$code" = 7 ] && [ "$left" = 0 ]
