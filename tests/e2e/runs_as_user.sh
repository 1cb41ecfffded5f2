#!/usr/bin/env bash
# The launcher as a non-root user: a package of the probe run RUNS times (default 1,000), two at a
# time, then TRACED times (default 10) under `strace -f`, as the user tavrin-test in a Wine prefix and
# wineserver of its own. Every run's full exit code and both streams are checked by a Windows-side
# starter (launcher_e2e_tests.exe --scenario repeated_runs), which prints each run that differs.
# Usage: runs_as_user.sh TESTS_EXE [RUNS [TRACED]]. Exit code 77 (skipped) when this user can act as
# no other (neither root nor password-less sudo).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# Windows path of a Unix path, through Wine's Z: drive.
windows_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

if [ "${1:-}" = --as-user ]; then
    # Run as the test user, from a copy of this script in its work directory.
    work=$2 runs=$3 traced=$4
    export WINEPREFIX="$HOME/wineprefix" WINEDEBUG=-all WINEARCH=win64
    export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
    log=$work/wine.log
    # One run at a time uses the prefix, so that no run stops the server under another.
    exec 9>>"$HOME/.tavrin-runs.lock"
    flock -n 9 || { echo "waiting for another run as $USER to end"; flock 9; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating $USER's Wine prefix $WINEPREFIX (once, about 10 s)"
        wineboot -i </dev/null >>"$log" 2>&1
        wineserver -w </dev/null >>"$log" 2>&1
    fi
    # Service processes keep the streams of whoever starts them: server and services on the log.
    if wineserver -p </dev/null >>"$log" 2>&1; then
        trap 'wineserver -k </dev/null >>"$log" 2>&1 || true' EXIT  # only the server this run started
    fi
    wine cmd /c exit 0 </dev/null >>"$log" 2>&1 || true
    package=$(windows_path "$work/probe.exe")
    status=0
    SECONDS=0
    wine "$work/tests.exe" --scenario repeated_runs "$package" "$runs" 2 </dev/null >"$work/runs.txt" 2>&1 || status=1
    echo "as $USER: $(tail -n 1 "$work/runs.txt") (${SECONDS} s)"
    [ "$status" = 0 ] || cat "$work/runs.txt"
    # Traced, a process's memory cannot be read through ptrace (Wine's server attaches to read it).
    traced_status=0
    if ! strace -f -qq -e trace=none -o "$work/strace.log" true >"$work/strace-check.txt" 2>&1; then
        echo "strace cannot trace here, the traced runs are left out: $(cat "$work/strace-check.txt")"
    else
        SECONDS=0
        strace -f -qq -e trace=none -o "$work/strace.log" \
            wine "$work/tests.exe" --scenario repeated_runs "$package" "$traced" 2 </dev/null >"$work/traced.txt" 2>&1 \
            || traced_status=1
        echo "as $USER under strace -f: $(tail -n 1 "$work/traced.txt") (${SECONDS} s)"
        [ "$traced_status" = 0 ] || cat "$work/traced.txt"
    fi
    [ "$status" = 0 ] && [ "$traced_status" = 0 ]
    exit
fi

tests_exe=$1 runs=${2:-1000} traced=${3:-10}
root=$(cd "$here/../.." && pwd)
. "$root/scripts/test-user.sh"
if ! test_user_can_switch; then
    echo "SKIPPED: runs as another user need root or password-less sudo"
    exit 77
fi
ensure_test_user "runs_as_user"
[ -n "$(command -v strace)" ] || { echo "strace is missing: run scripts/setup.sh"; exit 1; }

# The package, made by this user with the build's launcher and probe.
own=$(mktemp -d)
work=$(as_test_user mktemp -d -t tavrin-runs.XXXXXX)
trap 'rm -rf "$own"; as_test_user rm -rf "$work"' EXIT
"$root/scripts/wine-run" "$tests_exe" --scenario make_probe_package "$(windows_path "$own/probe.exe")" \
    </dev/null >"$own/make.log" 2>&1 || { cat "$own/make.log"; exit 1; }

# Copied as the test user into its own directory: the build tree may be closed to others.
copy_for_test_user() { as_test_user sh -c 'cat > "$1"' sh "$2" <"$1"; }
copy_for_test_user "$tests_exe" "$work/tests.exe"
copy_for_test_user "$own/probe.exe" "$work/probe.exe"
copy_for_test_user "$here/runs_as_user.sh" "$work/runs_as_user.sh"
as_test_user bash "$work/runs_as_user.sh" --as-user "$work" "$runs" "$traced"
