#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own Wine prefix
# (${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine unless WINEPREFIX is set), so
# that builds and tests never touch a user's ~/.wine. The prefix is created
# on first use. Used as meson's exe_wrapper and CMake's
# CMAKE_CROSSCOMPILING_EMULATOR.
set -euo pipefail

export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# without these overrides wineboot asks to install Mono and Gecko
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [[ ! -f "$WINEPREFIX/.tavlin-ready" ]]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    # several runs may start at once (meson's checks, ctest -j): one creates it
    exec 8>"$WINEPREFIX.lock"
    flock 8
    if [[ ! -f "$WINEPREFIX/.tavlin-ready" ]]; then
        wineboot --init >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.tavlin-ready"
    fi
    exec 8>&-
fi

exec wine "$@"
