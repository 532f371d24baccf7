#!/usr/bin/env bash
# Start of the Windows build under Wine against the Linux build, as the user meets it: from the
# command that starts the program to its main window on the X display, each time with a fresh data
# folder (first start: keys, database and settings are made). Also the installer's size and the size of
# the installed folder. Run under a display, on a quiet machine:
#     xvfb-run -a -s "-screen 0 1600x1000x24" benchmarks/windows_start.sh [runs, default 3]
# Needs build/ (scripts/build.sh test) and build-windows/ with the installer installed by its tests
# (scripts/build.sh windows-test).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
RUNS="${1:-3}"
TITLE="Nimbara-Vantrel特别版 - 多远程管理"
WIN="$ROOT/build-windows"
export WINEPREFIX="$WIN/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
APPDATA="$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Roaming' ! -path '*/Public/*' | head -1)"

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Milliseconds from the start of "$@" to a window with the main window's title. The display is asked
# every 20 ms; the program is killed afterwards.
time_to_window() {
    local start pid elapsed=""
    start=$(now_ms)
    "$@" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 6000); do
        if xwininfo -root -tree 2>/dev/null | grep -qF "\"$TITLE\""; then
            elapsed=$(($(now_ms) - start))
            break
        fi
        sleep 0.02
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "${elapsed:-timeout}"
}

fresh_linux_home() {
    rm -rf /tmp/nimbara-start-bench && mkdir -p /tmp/nimbara-start-bench/.local/share/NIMBARA/NIMBARA
    printf '[security]\nmaster_password = false\n' >/tmp/nimbara-start-bench/.local/share/NIMBARA/NIMBARA/config.toml
}

fresh_wine_data() {
    rm -rf "$APPDATA/NIMBARA" && mkdir -p "$APPDATA/NIMBARA/NIMBARA"
    printf '[security]\nmaster_password = false\n' >"$APPDATA/NIMBARA/NIMBARA/config.toml"
}

installed="$WINEPREFIX/drive_c/Program Files/NIMBARA/nimbara.exe"
[ -f "$installed" ] || installed="$WIN/bin/nimbara.exe"
echo "installer: $(stat -c %s "$WIN"/NIMBARA-*-x64-Setup.exe) bytes"
[ -d "$WINEPREFIX/drive_c/Program Files/NIMBARA" ] &&
    echo "installed folder: $(du -sb "$WINEPREFIX/drive_c/Program Files/NIMBARA" | cut -f1) bytes"
for run in $(seq 1 "$RUNS"); do
    fresh_linux_home
    linux=$(time_to_window env HOME=/tmp/nimbara-start-bench XDG_DATA_HOME=/tmp/nimbara-start-bench/.local/share \
        XDG_CONFIG_HOME=/tmp/nimbara-start-bench/.config "$ROOT/build/bin/nimbara")
    # Cold: no Wine process runs, so Wine's server and services start with the program.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    fresh_wine_data
    cold=$(time_to_window wine "$installed")
    # Warm: Wine's server still runs from the start before.
    fresh_wine_data
    warm=$(time_to_window wine "$installed")
    echo "run $run: linux ${linux} ms, wine cold ${cold} ms, wine warm ${warm} ms"
done
wineserver -k 2>/dev/null || true
