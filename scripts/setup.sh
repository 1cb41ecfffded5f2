#!/usr/bin/env bash
# Installs what the builds need on a Debian machine, idempotently and without questions:
# the mingw-w64 posix toolchain, Wine, CMake, host zstd and GoogleTest, clang with libFuzzer (the fuzz
# test), pefile, icoutils and osslsigncode (the identity checks read and sign packages), strace (runs
# under a tracer), xvfb (a virtual display for the windowed tests) and Debian's zstd source; then the
# user tavrin-test that the tests run packages as. `setup.sh demo` installs only what building and
# running the demo needs: no fuzzing toolchain, no read-back tools, no test user.
set -euo pipefail
mode=${1:-all}

root=$(cd "$(dirname "$0")/.." && pwd)
say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }
# What apt and the other tools print goes here, named when a step fails.
log=${TAVRIN_BUILD_DIR:-$root/build}/logs/setup.log
mkdir -p "$(dirname "$log")"

packages=(cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine64 libzstd-dev zstd googletest python3 xz-utils ca-certificates)
if [ "$mode" != demo ]; then
    packages+=(clang libclang-rt-14-dev libfuzzer-14-dev
               python3-pefile icoutils osslsigncode openssl strace xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>>"$log" | grep -q 'install ok installed' || missing+=("$p")
done

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif [ -n "$(command -v sudo)" ] && sudo -n true 2>>"$log"; then sudo "$@"
    else die "need root to run '$*' (run this script as root or with password-less sudo)"
    fi
}

apt_updated=0
apt_update() {
    [ "$apt_updated" = 1 ] && return 0
    say "refreshing Debian's package lists"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >>"$log" \
        || die "apt-get update failed: is Debian's package registry reachable? (its output: $log)"
    apt_updated=1
}

if [ "${#missing[@]}" -gt 0 ]; then
    say "installing ${missing[*]}"
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$log" \
        || die "apt-get install ${missing[*]} failed (its output: $log)"
else
    say "packages already installed"
fi

# Debian's zstd source, for the Windows build of the library.
src_cache="$root/third_party/zstd"
tarballs=("$src_cache"/libzstd_*.orig.tar.*)
if [ -e "${tarballs[0]}" ]; then
    say "zstd source already downloaded ($(basename "$(ls "$src_cache"/libzstd_*.orig.tar.* | head -n 1)"))"
else
    if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        say "adding a deb-src entry for Debian's main archive"
        suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
        as_root tee /etc/apt/sources.list.d/tavrin-deb-src.sources >>"$log" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        apt_updated=0
    fi
    apt_update
    say "downloading Debian's libzstd source into third_party/zstd"
    mkdir -p "$src_cache"
    (cd "$src_cache" && apt-get source --download-only -q libzstd >>"$log" 2>&1) \
        || die "apt-get source --download-only libzstd failed (its output: $log)"
fi

tarball=$(ls "$src_cache"/libzstd_*.orig.tar.* | grep -v '\.asc$' | head -n 1)
if [ ! -f "$src_cache/src/lib/zstd.h" ]; then
    say "unpacking $(basename "$tarball")"
    rm -rf "$src_cache/src" "$src_cache/unpack"
    mkdir -p "$src_cache/unpack"
    tar -xf "$tarball" -C "$src_cache/unpack"
    mv "$src_cache"/unpack/* "$src_cache/src"
    rmdir "$src_cache/unpack"
fi
if [ "$mode" = demo ]; then
    say "ready (for the demo; scripts/test.sh installs what the tests need besides)"
    exit 0
fi
# The non-root user of tests/e2e/runs_as_user.sh; without root the test skips.
. "$root/scripts/test-user.sh"
if test_user_can_switch; then ensure_test_user setup
else say "not root and no password-less sudo: no user $tavrin_test_user, the runs as another user are skipped"
fi
say "ready"
