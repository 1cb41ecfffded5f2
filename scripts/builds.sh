# Sourced by the driver scripts (test, demo, bench): the project's two build trees, configured the
# same way everywhere. TAVRIN_BUILD_DIR (default build) holds both: windows/ and host/.
tavrin_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tavrin_build=${TAVRIN_BUILD_DIR:-$tavrin_root/build}
tavrin_jobs=$(nproc)
tavrin_logs=$tavrin_build/logs

# tavrin_logged NAME COMMAND...: runs COMMAND with its standard output in $tavrin_logs/NAME.log
# (standard error stays on the terminal); when it fails, shows the log's end and names the log.
tavrin_logged() {
    local log=$tavrin_logs/$1.log
    shift
    mkdir -p "$tavrin_logs"
    "$@" >"$log" || {
        local status=$?
        tail -n 40 "$log" >&2
        echo "failed ($status): $* (its whole output: $log)" >&2
        return "$status"
    }
}

# The Windows build: launcher, tavrin-pack.exe, examples, the tests that run under Wine.
configure_windows_build() {
    tavrin_logged configure-windows cmake -S "$tavrin_root" -B "$tavrin_build/windows" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$tavrin_root/cmake/mingw-w64-x86_64.cmake"
}

# The host build: tavrin-pack and its tests. It installs the Windows build's launcher image, and its
# integration test compares the Windows tavrin-pack.exe with the host tool, so it is configured
# after the Windows build.
configure_host_build() {
    tavrin_logged configure-host cmake -S "$tavrin_root" -B "$tavrin_build/host" -DCMAKE_BUILD_TYPE=Release \
          -DTAVRIN_LAUNCHER_IMAGE="$tavrin_build/windows/launcher/tavrin-launcher.exe" \
          -DTAVRIN_WINDOWS_PACK_TOOL="$tavrin_build/windows/packer/tavrin-pack.exe"
}
