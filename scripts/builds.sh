# Sourced by the driver scripts (test, demo, bench): the project's two build trees, configured the
# same way everywhere. TAVRIN_BUILD_DIR (default build) holds both: windows/ and host/.
tavrin_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tavrin_build=${TAVRIN_BUILD_DIR:-$tavrin_root/build}
tavrin_jobs=$(nproc)

# The Windows build: launcher, tavrin-pack.exe, examples, the tests that run under Wine.
configure_windows_build() {
    cmake -S "$tavrin_root" -B "$tavrin_build/windows" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$tavrin_root/cmake/mingw-w64-x86_64.cmake" >/dev/null
}

# The host build: tavrin-pack and its tests. It installs the Windows build's launcher image, and its
# integration test compares the Windows tavrin-pack.exe with the host tool, so it is configured
# after the Windows build.
configure_host_build() {
    cmake -S "$tavrin_root" -B "$tavrin_build/host" -DCMAKE_BUILD_TYPE=Release \
          -DTAVRIN_LAUNCHER_IMAGE="$tavrin_build/windows/launcher/tavrin-launcher.exe" \
          -DTAVRIN_WINDOWS_PACK_TOOL="$tavrin_build/windows/packer/tavrin-pack.exe" >/dev/null
}
