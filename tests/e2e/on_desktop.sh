#!/usr/bin/env bash
# Runs a Windows test program on the virtual display that xvfb-run gives, in a Wine prefix of its
# own whose server, services and desktop process start with that display. The shared test prefix
# runs without a display, and under Wine 8 a prefix whose desktop process once started without one
# never shows a window again (and a window tried there starts it so).
# Usage: xvfb-run -a on_desktop.sh PREFIX PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "on_desktop.sh: no DISPLAY (run it under xvfb-run)" >&2; exit 2; }
export TAVRIN_WINEPREFIX=$1
shift
. "$(dirname "$0")/../../scripts/wine-env.sh"
wine_prefix_ensure
# A server that already runs for this prefix is used as it is and left running; one started here
# is stopped at the end.
if wineserver -p </dev/null >>"$wine_log" 2>&1; then
    trap wine_server_stop EXIT
fi
# The services and the desktop process start here, with the display, their output to the log.
wine cmd /c exit 0 </dev/null >>"$wine_log" 2>&1 || true
wine "$@"
