#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, in a Wine prefix of the build's own
# (NIMBARA_WINE_PREFIX, made here on first use), quietly. The exit code is the program's.
set -euo pipefail

prefix="${NIMBARA_WINE_PREFIX:?NIMBARA_WINE_PREFIX names the Wine prefix}"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts: the program needs neither. No debugger on a crash either (some
# tests crash a helper on purpose): a process that crashes ends, as the program asks of Windows, instead
# of waiting in winedbg, which keeps the test's output open.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
export WINEARCH=win64

mkdir -p "$(dirname "$prefix")"
(
    # Tests run in parallel: one makes the prefix, the others wait for it.
    flock 9
    if [ ! -e "$prefix/.nimbara-ready" ]; then
        wineboot -i >/dev/null 2>&1
        wineserver -w
        touch "$prefix/.nimbara-ready"
    fi
) 9>"$prefix.lock"

exec wine "$@"
