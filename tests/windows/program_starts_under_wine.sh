#!/usr/bin/env bash
# The Windows program under Wine: it starts, shows its main window (found by its title on the X
# display), and makes its data files in the Windows user's roaming AppData folder; a second start is
# refused. A screenshot of the window goes to the test's output folder.
#   program_starts_under_wine.sh <program.exe> <output folder>
# Needs DISPLAY (ctest runs under xvfb-run) and NIMBARA_WINE_PREFIX.
set -euo pipefail

program="$1"
output="$2"
runner="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine_run.sh"
title="Nimbara-Vantrel特别版 - 多远程管理"
mkdir -p "$output"

# The data folder of this Wine user, emptied so the start is a first one.
export WINEPREFIX="$NIMBARA_WINE_PREFIX"
"$runner" cmd /c exit 0 >/dev/null 2>&1 || true
appdata="$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Roaming' ! -path '*/Public/*' | head -1)"
[ -n "$appdata" ] || { echo "no AppData folder in the Wine prefix"; exit 1; }
rm -rf "$appdata/NIMBARA"
# Without the first start's offer of a master password, which would come before the main window.
mkdir -p "$appdata/NIMBARA/NIMBARA"
printf '[security]\nmaster_password = false\n' >"$appdata/NIMBARA/NIMBARA/config.toml"

# A window of an earlier start (the installer's test runs the installed program too) must be gone,
# or it would be taken for this one's.
for _ in $(seq 1 60); do
    xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\"" || break
    sleep 0.5
done

QT_QPA_PLATFORM=windows "$runner" "$program" >"$output/program.log" 2>&1 &
pid=$!
cleanup() {
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
trap cleanup EXIT

# Bounded: two minutes for Wine and the program to come up on a busy machine.
found=""
for _ in $(seq 1 240); do
    if xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\""; then
        found=1
        break
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "the program ended before its window appeared:"
        cat "$output/program.log"
        exit 1
    fi
    sleep 0.5
done
[ -n "$found" ] || { echo "no window titled \"$title\" within two minutes"; cat "$output/program.log"; exit 1; }

data="$appdata/NIMBARA/NIMBARA"
for file in config.toml credential.key data.db app.log; do
    # The log may be written just after the window shows; bounded.
    for _ in $(seq 1 40); do
        [ -s "$data/$file" ] && break
        sleep 0.25
    done
    [ -s "$data/$file" ] || { echo "missing after start: $data/$file"; ls -la "$data" || true; exit 1; }
done
if command -v import >/dev/null; then
    sleep 2
    import -window root "$output/main-window.png" && echo "screenshot: $output/main-window.png"
fi

# A second start by the same Windows user is refused with its message, and no second main window opens.
refused="NIMBARA 已在运行"
QT_QPA_PLATFORM=windows "$runner" "$program" >"$output/second-start.log" 2>&1 &
second=$!
cleanup() {
    kill -9 "$pid" "$second" 2>/dev/null || true
    wait "$pid" "$second" 2>/dev/null || true
}
found=""
for _ in $(seq 1 120); do
    if xwininfo -root -tree 2>/dev/null | grep -qF "\"$refused\""; then
        found=1
        break
    fi
    kill -0 "$second" 2>/dev/null || break
    sleep 0.5
done
[ -n "$found" ] || { echo "a second start showed no \"$refused\""; cat "$output/second-start.log"; exit 1; }
windows="$(xwininfo -root -tree 2>/dev/null | grep -cF "\"$title\"" || true)"
[ "$windows" = 1 ] || { echo "$windows main windows after a second start"; exit 1; }
echo "a second start is refused"
echo "main window shown; data files in $data"
