# Sourced by the scripts that run Windows programs: one quiet, project-local Wine prefix.
# The prefix: TAVRIN_WINEPREFIX when set, else the user's own WINEPREFIX when set, else
# build/wineprefix under the project's root (made on first use). DISPLAY is left as it is: the
# programs that scripts/wine-run starts take it (Wine 8 reads it from the Unix environment), and
# the tests drop it themselves (wine-run --no-display); the wineserver and its services start
# without one (wine_server_start). What Wine's set-up and server print goes to wine_log.
tavrin_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine_log=${TAVRIN_BUILD_DIR:-$tavrin_root/build}/logs/wine.log
# A user's own WINEPREFIX is used as it is: no setting of it is changed.
if [ -n "${TAVRIN_WINEPREFIX:-}" ] || [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="${TAVRIN_WINEPREFIX:-$tavrin_root/build/wineprefix}"
    wine_prefix_ours=1
else
    export WINEPREFIX
    wine_prefix_ours=0
fi
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: the prefix is made offline and must never show a dialog.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"

# Creates the prefix once. Service processes inherit the standard streams of whatever starts them
# and keep them open (Wine 8), so the prefix is made and warmed with standard input on /dev/null and
# the output appended to wine_log (a file: a pipe held open would keep its reader waiting).
wine_prefix_ensure() {
    mkdir -p "$(dirname "$wine_log")"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: creating the prefix $WINEPREFIX (once, about 10 s; its log: $wine_log)" >&2
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >>"$wine_log" 2>&1
        wine_no_crash_dialog
        wineserver -w </dev/null >>"$wine_log" 2>&1
    fi
}

# No crash dialog in the project's prefix (a user's own is left as it is): for it Wine 8's debugger
# starts the desktop process, which inherits the crashed process's standard handles and keeps them
# until the desktop closes, so that a test's stream files (and their directory in %TEMP%) outlived
# the test. A crash still ends the process with its exception code, and the debugger still writes
# its backtrace.
wine_no_crash_dialog() {
    [ "$wine_prefix_ours" = 1 ] || return 0
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >>"$wine_log" 2>&1 || true
}

# Starts a persistent wineserver for this prefix, so that each process starts in tens of ms. The
# server and the services that the warming process starts get no display: the test suite's prefix
# runs without one, whatever the user's session has.
wine_server_start() {
    wine_prefix_ensure
    # Exits 2 when a server of this prefix already runs; that one is used as it is.
    env -u DISPLAY wineserver -p </dev/null >>"$wine_log" 2>&1 || true
    # Warm the prefix: the first process starts the services (and a prefix made before it gets the
    # setting).
    (unset DISPLAY; wine_no_crash_dialog)
}

# Stops the wineserver of this prefix only.
wine_server_stop() {
    wineserver -k </dev/null >>"$wine_log" 2>&1 || true
}
