#!/usr/bin/env bash
# The updater under Wine, end to end, on an Xvfb display of the test's own
# (openbox as window manager), against the nginx that with-nginx.sh started
# (TAVLIN_TEST_NGINX_URL, TAVLIN_TEST_NGINX_DIR): the installation is a
# folder holding the launcher, the stand-in client and
# temp\Updater.exe with zlib.dll and InstallZebApp.dll, as the client
# prepares it. Windows are found as X windows of the updater's process and
# read back from the screen with tavlin-xshot.
#   ordinary update: the package is downloaded into temp, its digest
#   verified (the component registered), the completion line drawn; Escape
#   ends the updater with 0 and the package stays for the launcher, whose
#   next start installs it.
#   forced update: the notice while the client runs; Enter stops the client,
#   the package is unpacked over the installation and the component
#   registered again; the update-finished window's button ends the updater
#   and the launcher starts the new client with the job's parameter text.
#   updater-cycle-x11.sh BIN_DIR XSHOT
# Wine runs in "$WINEPREFIX-updater" (or the project's default prefix's name
# with "-updater"); its server is stopped at the start and at the end. Screen
# shots are kept in $TAVLIN_WIN_SHOTS when it is set. Exit 77: skipped.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=$(cd "${1:?usage: $0 BIN_DIR XSHOT}" && pwd)
xshot=${2:?usage: $0 BIN_DIR XSHOT}
. "$root/scripts/lib.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

for tool in Xvfb openbox xdotool wine wineserver zip md5sum; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
for file in tavlinUpdater.exe zlib.dll InstallZebApp.dll TavlinLaunch.exe TavlinLaunchQuestion.dll tavlin.exe \
            tavlinCacheAssistant.exe; do
    [ -f "$bin/$file" ] || skip "no $file in $bin"
done
[ -x "$xshot" ] || skip "no tavlin-xshot at $xshot (it comes with the Linux build)"
url=${TAVLIN_TEST_NGINX_URL:?run through with-nginx.sh}
www=${TAVLIN_TEST_NGINX_DIR:?run through with-nginx.sh}

export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine}-updater"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A Chinese user: the windows speak Chinese, and the progress window draws
# its green completion line (Wine takes the language from LC_ALL). Given to
# Wine only: the shell may lack the locale, and without it Wine cannot turn
# non-ASCII Unix paths into Windows ones, so the folders here are ASCII
# (with a space); the libraries' tests cover Chinese paths.
# Every step keeps its process ID through to Wine's (env and the script
# exec), so that the windows are found by it.
wine=(env LC_ALL=zh_CN.UTF-8 "$root/scripts/windows/wine-run.sh")

work=$(mktemp -d "${TMPDIR:-/tmp}/tavlin-updater-win.XXXXXX")
inst="$work/Tavlin Client"
shots=${TAVLIN_WIN_SHOTS:-$work/shots}
mkdir -p "$inst/temp" "$shots"

xvfb_pid= openbox_pid= client_pid= updater_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    for pid in $updater_pid $client_pid $openbox_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
    for pid in $updater_pid $client_pid $openbox_pid $xvfb_pid; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

unset DISPLAY
start_xvfb "$work"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
openbox_pid=$!
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 10 ||
    fail "openbox did not start: $(cat "$work/openbox.log")"
wineserver -k 2>/dev/null || true
settings=$root/tests/window/wine-settings.reg
"${wine[@]}" regedit /S "Z:${settings//\//\\}"

# install: a fresh installation of version 1.0.
install() {
    rm -rf "$inst"
    mkdir -p "$inst/temp"
    cp "$bin/TavlinLaunch.exe" "$bin/TavlinLaunchQuestion.dll" "$bin/tavlin.exe" "$bin/tavlinCacheAssistant.exe" \
        "$inst/"
    cp "$bin/tavlinUpdater.exe" "$inst/temp/Updater.exe"
    cp "$bin/zlib.dll" "$bin/InstallZebApp.dll" "$inst/temp/"
    printf '1.0' >"$inst/version.txt"
}

# package VERSION: update.zip on the server; prints its MD5.
package() {
    local dir=$work/package-$1
    mkdir -p "$dir/plugins/chat"
    printf '%s' "$1" >"$dir/version.txt"
    printf 'chat plugin %s\n' "$1" >"$dir/plugins/chat/chat-$1.txt"
    cp "$bin/tavlin.exe" "$dir/"
    rm -f "$www/update.zip"
    (cd "$dir" && zip -qr "$www/update.zip" .)
    md5sum "$www/update.zip" | cut -d' ' -f1
}

registrations() { [ -f "$inst/temp/InstallZebApp.registered" ] && wc -l <"$inst/temp/InstallZebApp.registered" || echo 0; }
calls() { cat "$inst/tavlin.calls" 2>/dev/null || true; }

# window_of PID [EXCEPT]: the first visible X window of the process other
# than those EXCEPT names ("ID|ID..."), within 60 s; sets win.
win=
window_of() {
    local i
    win=
    for ((i = 0; i < 240; i++)); do
        win=$(xdotool search --all --onlyvisible --pid "$1" 2>/dev/null | grep -vxE "${2:-none}" | head -n1) || true
        [ -n "$win" ] && return 0
        alive "$1" || fail "process $1 ended without a window: $(cat "$work/updater.log")"
        sleep 0.25
    done
    fail "no window of process $1 within 60 s"
}

# shot NAME WINDOW: saves the window as the X server shows it; prints its
# green pixel count after checking its size.
shot() {
    local out
    out=$("$xshot" "$shots/$1.png" "$2") || fail "no screen shot of $1"
    echo "shot $1: $out" >&2
    local size=${out%% *} green=${out##*green=}
    [ "${size%x*}" -ge 100 ] && [ "${size#*x}" -ge 50 ] || fail "the $1 window shows as $size"
    echo "$green"
}

focus() {
    timeout 10 xdotool windowactivate --sync "$1" 2>/dev/null || timeout 10 xdotool windowfocus --sync "$1" ||
        fail "window $1 cannot be focused"
}

# end_updater: waits for the updater to end and checks its status is 0.
end_updater() {
    wait_for '! alive "$updater_pid"' 30 || fail "the updater did not end"
    local code=0
    wait "$updater_pid" || code=$?
    updater_pid=
    [ "$code" -eq 0 ] || fail "the updater ended with $code: $(cat "$work/updater.log")"
}

cd "$work"

# --- the ordinary update ---
install
md5=$(package 2.0)
"${wine[@]}" "$inst/temp/Updater.exe" "-url=$url/update.zip" "-md5=$md5" -newver=2.0 \
    -prompt=Chat*Whiteboard '-pagecallparam=/room?id=7' >"$work/updater.log" 2>&1 &
updater_pid=$!
window_of "$updater_pid"
progress=$win
wait_for '[ "$(registrations)" -eq 1 ]' 60 || fail "the package was not verified (no registration)"
green=0
for ((i = 0; i < 50 && green == 0; i++)); do
    green=$(shot ordinary-completed "$progress")
    [ "$green" -gt 0 ] || sleep 0.2
done
[ "$green" -gt 0 ] || fail "the progress window drew no completion line"
[ "$(md5sum "$inst/temp/update.zip" | cut -d' ' -f1)" = "$md5" ] || fail "the package in temp is not the one served"
[ ! -e "$inst/temp/update.zip.dltmp" ] || fail "the temporary file is left"
alive "$updater_pid" || fail "the updater ended without the user"
[ "$(cat "$inst/version.txt")" = 1.0 ] || fail "the ordinary update installed the package itself"
focus "$progress"
xdotool key Escape
end_updater
[ "$(md5sum "$inst/temp/update.zip" | cut -d' ' -f1)" = "$md5" ] || fail "the package did not stay for the launcher"
[ -z "$(calls)" ] || fail "the ordinary update started the client"
echo "ok: ordinary update: the package is verified, registered and left in temp"

# The launcher's next start installs it and starts the new client.
"${wine[@]}" "$inst/TavlinLaunch.exe" 'tavlin://room?id=7' >"$work/launcher.log" 2>&1 ||
    fail "the launcher failed: $(cat "$work/launcher.log")"
wait_for 'calls | grep -q "^version 2.0$"' 60 || fail "the launcher did not start the new client: $(calls)"
[ "$(cat "$inst/plugins/chat/chat-2.0.txt")" = "chat plugin 2.0" ] || fail "the package was not installed"
wineserver -k 2>/dev/null || true
echo "ok: the launcher installs the package left by the ordinary update"

# --- the forced update, with the client running ---
install
md5=$(package 3.0)
(cd "$inst" && exec "${wine[@]}" tavlin.exe first >"$work/client.log" 2>&1) &
client_pid=$!
wait_for 'calls | grep -q "^args 5:first$"' 60 || fail "the client did not start: $(calls)"
"${wine[@]}" "$inst/temp/Updater.exe" "-url=$url/update.zip" "-md5=$md5" -forcedupdate=1 -newver=3.0 \
    '-pagecallparam=/room?id=7' >"$work/updater.log" 2>&1 &
updater_pid=$!
window_of "$updater_pid"
notice=$win
shot forced-notice "$notice" >/dev/null
alive "$client_pid" || fail "the client was stopped before the notice was answered"
[ "$(registrations)" -eq 0 ] || fail "the download started before the notice was answered"
focus "$notice"
xdotool key Return
wait_for '! alive "$client_pid"' 30 || fail "the client was not stopped"
wait "$client_pid" 2>/dev/null || true
client_pid=
window_of "$updater_pid" "$notice"
progress=$win
wait_for '[ "$(registrations)" -eq 2 ]' 60 || fail "the component was not registered after the installation"
window_of "$updater_pid" "$notice|$progress"
finished=$win
shot forced-finished "$finished" >/dev/null
[ "$(cat "$inst/version.txt")" = 3.0 ] || fail "the package was not unpacked over the installation"
[ "$(cat "$inst/plugins/chat/chat-3.0.txt")" = "chat plugin 3.0" ] || fail "the package's folder is missing"
[ "$(calls | grep -c '^args')" -eq 1 ] || fail "a client started before the window was closed"
# The launch button, centred below the text row.
xdotool mousemove --sync --window "$finished" 210 136 click 1
end_updater
wait_for 'calls | grep -q "^args 10:/room?id=7$"' 60 ||
    fail "the launcher did not start the new client with the job's parameter text: $(calls)"
calls | grep -q '^version 3.0$' || fail "the new client is not version 3.0: $(calls)"
echo "ok: forced update: the client is stopped, the package unpacked and the client started through the launcher"
