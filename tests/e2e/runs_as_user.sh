#!/usr/bin/env bash
# The launcher as a non-root user: a package of the probe run RUNS times (default 1,000), two at a
# time, then TRACED times (default 10) under `strace -f`, as the user tavrin-test in a Wine prefix and
# wineserver of its own. Every run's full exit code and both streams are checked by a Windows-side
# starter (launcher_e2e_tests.exe --scenario repeated_runs), which prints each run that differs.
# Usage: runs_as_user.sh TESTS_EXE [RUNS [TRACED]]. Exit code 77 (skipped) when this user can act as
# no other (neither root nor password-less sudo).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
windows_path() { printf 'Z:%s' "${1//\//\\}"; }  # through Wine's Z: drive

if [ "${1:-}" = --as-user ]; then
    # Run as the test user, from a copy of this script in its work directory.
    work=$2 log=$2/wine.log failed=0
    unset DISPLAY
    export WINEPREFIX="$HOME/wineprefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
    # One run at a time uses the prefix, so that no run stops the server under another.
    exec 9>>"$HOME/.tavrin-runs.lock"
    flock -n 9 || { echo "waiting for another run as $USER to end"; flock 9; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating $USER's Wine prefix $WINEPREFIX (once, about 10 s)"
        { wineboot -i && wineserver -w; } </dev/null >>"$log" 2>&1
    fi
    # Service processes keep the streams of whoever starts them: server and services on the log.
    if wineserver -p </dev/null >>"$log" 2>&1; then
        trap 'wineserver -k </dev/null >>"$log" 2>&1 || true' EXIT  # only the server this run started
    fi
    wine cmd /c exit 0 </dev/null >>"$log" 2>&1 || true
    # runs NAME COUNT [TRACER...]: the runs, their summary, and the whole output when any failed.
    runs() {
        local name=$1 count=$2 status=0
        shift 2
        SECONDS=0
        "$@" wine "$work/tests.exe" --scenario repeated_runs "$(windows_path "$work/probe.exe")" "$count" \
            </dev/null >"$work/$name.txt" 2>&1 || status=1
        echo "$name as $USER: $(tail -n 1 "$work/$name.txt") (${SECONDS} s)"
        [ "$status" = 0 ] || { cat "$work/$name.txt"; return 1; }
    }
    runs runs "$3" || failed=1
    # Traced, a process's memory cannot be read through ptrace (Wine's server attaches to read it).
    if strace -f -qq -e trace=none -o "$work/strace.log" true >"$work/strace-check.txt" 2>&1; then
        runs traced "$4" strace -f -qq -e trace=none -o "$work/strace.log" || failed=1
    else
        echo "strace cannot trace here, the traced runs are left out: $(cat "$work/strace-check.txt")"
    fi
    exit "$failed"
fi

root=$(cd "$here/../.." && pwd)
. "$root/scripts/test-user.sh"
test_user_can_switch || { echo "SKIPPED: runs as another user need root or password-less sudo"; exit 77; }
ensure_test_user "runs_as_user"
[ -n "$(command -v strace)" ] || { echo "strace is missing: run scripts/setup.sh"; exit 1; }

# The package, made by this user with the build's launcher and probe, then copied with the tests and
# this script as the test user into its own directory: the build tree may be closed to others.
own=$(mktemp -d)
work=$(as_test_user mktemp -d -t tavrin-runs.XXXXXX)
trap 'rm -rf "$own"; as_test_user rm -rf "$work"' EXIT
"$root/scripts/wine-run" --no-display "$1" --scenario make_probe_package "$(windows_path "$own/probe.exe")" \
    </dev/null >"$own/make.log" 2>&1 || { cat "$own/make.log"; exit 1; }
copy_for_test_user() { as_test_user sh -c 'cat > "$1"' sh "$work/$2" <"$1"; }
copy_for_test_user "$1" tests.exe
copy_for_test_user "$own/probe.exe" probe.exe
copy_for_test_user "$here/runs_as_user.sh" runs_as_user.sh
as_test_user bash "$work/runs_as_user.sh" --as-user "$work" "${2:-1000}" "${3:-10}"
