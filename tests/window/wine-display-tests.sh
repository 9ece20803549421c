#!/usr/bin/env bash
# Runs the window tests of a Windows build dir under Wine on an Xvfb display
# of their own, in a Wine prefix of their own whose server is stopped at the
# end (a Wine server stays bound to the display it started on).
#   tests/window/wine-display-tests.sh BUILD_DIR [more ctest arguments]
# WINEPREFIX defaults to ${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-wnd.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: $0 BUILD_DIR [ctest arguments]}
shift
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-wnd}

display=
for n in $(seq 71 120); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }

Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "Xvfb :$display did not start" >&2; exit 1; }

# A server left from another display would keep drawing there.
wineserver -k 2>/dev/null || true
export DISPLAY=":$display"
# Wine's UI faces mapped to a font with Chinese (the system's message box),
# and no crash dialog, which would hold a crashed test until its timeout.
"$root/scripts/windows/wine-run.sh" regedit /S "$(winepath -w "$here/wine-settings.reg" 2>/dev/null || echo "$here/wine-settings.reg")"

ctest --test-dir "$build" -R '^window\.' --output-on-failure "$@"
