#!/usr/bin/env bash
# The demo: builds everything, packs examples/hello into one .exe with tavrin-pack, runs it under
# Wine with a few arguments, and shows its output, its exit code and that nothing is left in %TEMP%.
# It leaves tavrin-pack, the launcher image and the header installed in build/install.
set -euo pipefail
. "$(dirname "$0")/builds.sh"
root=$tavrin_root
build=$tavrin_build
jobs=$tavrin_jobs

"$root/scripts/setup.sh" demo
echo "== building the launcher and the example for Windows (the first time about 3 minutes on 2 cores:"
echo "   Zstandard, then the launcher; it prints nothing until it is done, its log: $tavrin_logs)"
configure_windows_build
tavrin_logged build-windows cmake --build "$build/windows" -j "$jobs" --target tavrin-launcher hello
echo "== building tavrin-pack for this machine (the first time about 2 minutes)"
configure_host_build
tavrin_logged build-host cmake --build "$build/host" -j "$jobs" --target tavrin-pack
echo "== installing tavrin-pack, the launcher image and the header into $build/install"
tavrin_logged install cmake --install "$build/host" --prefix "$build/install"

app="$build/windows/examples/hello/app"
out="$build/demo/hello.exe"
mkdir -p "$build/demo"
echo "== packing $app"
"$build/host/packer/tavrin-pack" "$app" -o "$out" --launcher "$build/windows/launcher/tavrin-launcher.exe"
ls -l "$out"

. "$root/scripts/wine-env.sh"
echo "== starting Wine (the first time it makes its prefix in $WINEPREFIX, about 10 s)"
wine_server_start
trap wine_server_stop EXIT
temp_dir="$WINEPREFIX/drive_c/users/$(whoami)/Temp"

echo "== running: hello.exe \"two words\" 'quote\"d' --exit 7"
set +e
wine "$out" "two words" 'quote"d' --exit 7
code=$?
set -e
echo "== exit code: $code"
left=0
if [ -d "$temp_dir" ]; then left=$(find "$temp_dir" -maxdepth 1 -name 'onefile_*' | wc -l); fi
echo "== unpack directories left in %TEMP%: $left"
echo "== your own package: see \"A first package in five minutes\" in README.md (the tool: $build/install/bin/tavrin-pack)"
[ "$code" = 7 ] && [ "$left" = 0 ]
