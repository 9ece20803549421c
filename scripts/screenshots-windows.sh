#!/usr/bin/env bash
# The updater's windows as the Windows build draws them, under Wine on a
# private Xvfb: the progress window (its layout filled as during a download)
# and the prompt of a failed update, in Chinese and in English, saved from
# the screen into docs/screenshots/windows-*.png. Under Wine each window is
# an X window too; tavlin-xshot (a Linux tool of tests/cycle) reads it back.
#   scripts/screenshots-windows.sh
#     TAVLIN_WIN_BUILD_DIR  Windows build folder (default build-win-i686/)
#     TAVLIN_BUILD_DIR      Linux build folder for tavlin-xshot (default build/)
#     TAVLIN_SHOTS_DIR      where the pictures go (default docs/screenshots/)
#     WINEPREFIX            default ${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-shots;
#                           its server is stopped at the end
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
winbuild=${TAVLIN_WIN_BUILD_DIR:-$root/build-win-i686}
build=${TAVLIN_BUILD_DIR:-$root/build}
shots=${TAVLIN_SHOTS_DIR:-$root/docs/screenshots}
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-shots}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$root/scripts/lib.sh"

fail() { printf 'WINDOWS SCREENSHOTS FAILED: %s\n' "$*" >&2; exit 1; }

cmake -S "$root" -B "$winbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows/mingw-i686.cmake" >/dev/null
cmake --build "$winbuild" -j2 --target tavlin-win-shot >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target tavlin-xshot >/dev/null

work=$(mktemp -d)
xvfb_pid=
shot_pid=
cleanup() {
    [ -z "$shot_pid" ] || kill "$shot_pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY
start_xvfb "$work"
# A server left from another display would keep drawing there.
wineserver -k 2>/dev/null || true
# Wine's UI faces mapped to a font with Chinese, as for the window tests.
settings=$root/tests/window/wine-settings.reg
"$root/scripts/windows/wine-run.sh" regedit /S "$(winepath -w "$settings" 2>/dev/null || echo "$settings")"

mkdir -p "$shots"
rm -f "$shots"/windows-*.png
for lang in zh_CN.UTF-8 en_US.UTF-8; do
    l=${lang%%_*}
    for which in progress prompt; do
        # Wine takes the user's language from LC_ALL when the program starts.
        LC_ALL=$lang "$root/scripts/windows/wine-run.sh" "$winbuild/bin/tavlin-win-shot.exe" "$which" \
            >"$work/shot.out" 2>&1 &
        shot_pid=$!
        wait_for 'grep -q shown "$work/shot.out" || ! alive $shot_pid' 60 || fail "$which did not show: $(cat "$work/shot.out")"
        w=$(timeout 20 xdotool search --sync --onlyvisible --name "^tavlin-win-shot $which\$" 2>/dev/null | head -n1) || true
        [ -n "$w" ] || fail "no X window for $which: $(cat "$work/shot.out")"
        # The first paint reaches the screen after the map.
        sleep 1
        out=$("$build/bin/tavlin-xshot" "$shots/windows-$which-$l.png" "$w") || fail "cannot capture $which"
        echo "  windows-$which-$l.png ($out)"
        xdotool windowfocus --sync "$w" key Escape 2>/dev/null || true
        wait_for '! alive $shot_pid' 10 || kill "$shot_pid" 2>/dev/null || true
        wait "$shot_pid" 2>/dev/null || true
        shot_pid=
    done
done
echo "done: $(ls "$shots"/windows-*.png | wc -l) pictures in $shots"
