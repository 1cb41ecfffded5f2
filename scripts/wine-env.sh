# Sourced by the scripts that run Windows programs: one quiet, project-local Wine prefix.
# The prefix: TAVRIN_WINEPREFIX when set, else the user's own WINEPREFIX when set, else
# build/wineprefix under the project's root (made on first use).
tavrin_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${TAVRIN_WINEPREFIX:-${WINEPREFIX:-$tavrin_root/build/wineprefix}}"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: the prefix is made offline and must never show a dialog.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY

# Creates the prefix once. Service processes inherit the standard streams of whatever starts them
# and keep them open (Wine 8), so the prefix is made and warmed with all three on /dev/null.
wine_prefix_ensure() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: creating the prefix $WINEPREFIX (once, about 10 s)" >&2
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w </dev/null >/dev/null 2>&1
    fi
}

# Starts a persistent wineserver for this prefix, so that each process starts in tens of ms.
wine_server_start() {
    wine_prefix_ensure
    # Exits 2 when a server of this prefix already runs; that one is used as it is.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Warm the prefix: the first process starts the services.
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

# Stops the wineserver of this prefix only.
wine_server_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
