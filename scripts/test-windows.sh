#!/usr/bin/env bash
# The Windows suite: the i686 programs and tests built with mingw-w64 and run
# under Wine, the window tests on an Xvfb display of their own.
#   scripts/build-windows.sh   the dependency prefix (cached; skipped with
#                              TAVLIN_SKIP_SETUP=1, which then needs a
#                              complete prefix already)
#   PREFIX-win-i686/           the build folder (TAVLIN_BUILD_PREFIX, default
#                              "build"), tested by ctest under Wine
# The tests run in a Wine prefix of their own
# (${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-tests unless WINEPREFIX is
# set), whose server this script stops when it ends; the window tests in
# that prefix's name with "-window" added.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${TAVLIN_JOBS:-2}
prefix=${TAVLIN_BUILD_PREFIX:-build}
timeout=${TAVLIN_TEST_TIMEOUT:-600}
dir="$root/$prefix-win-i686"
. "$root/scripts/lib.sh"

fail() { echo "test-windows: $*" >&2; exit 1; }
step() { printf '\n==== [%4ds] %s ====\n' "$SECONDS" "$*"; }

if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
    step "Windows toolchain, Wine and dependencies"
    "$root/scripts/build-windows.sh" --arch i686
fi

export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-tests}
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY
start_xvfb "$work"

step "configure $dir"
# The updater's end-to-end test reads the screen with the Linux build's
# tavlin-xshot; the engine's failure tests run against its
# tavlin-fault-server.
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_XSHOT="$root/$prefix/bin/tavlin-xshot" \
    -DTAVLIN_FAULT_SERVER="$root/$prefix/bin/tavlin-fault-server"
step "build $dir"
cmake --build "$dir" -j"$jobs"
step "test $dir (Wine), all but the window tests"
ctest --test-dir "$dir" -j"$jobs" --timeout "$timeout" -E '^window\.' --output-on-failure --no-tests=error
# The window tests type and click into their windows: one at a time, on a
# display and in a Wine prefix of their own.
step "test $dir (Wine), window tests"
WINEPREFIX="$WINEPREFIX-window" "$root/tests/window/wine-display-tests.sh" "$dir" --timeout "$timeout" --no-tests=error
