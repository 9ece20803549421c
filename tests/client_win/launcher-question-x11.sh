#!/usr/bin/env bash
# The launcher's question box under Wine, answered from the X side: the
# launcher (TavlinLaunch.exe with TavlinLaunchQuestion.dll beside it) is
# started for a link while the stand-in client runs, on an Xvfb display of
# the test's own with openbox as window manager; the box is found as an X
# window of the launcher's process, activated, and answered with real key
# presses through xdotool (XTEST). Escape and closing the box (Alt+F4, the
# window manager's close) keep the client and hand it the link over its
# pipe; Enter ends it and starts a new one with the link's parameters.
#   launcher-question-x11.sh BIN_DIR
# BIN_DIR holds TavlinLaunch.exe, TavlinLaunchQuestion.dll and tavlin.exe.
# Wine runs in a prefix of the test's own, "$WINEPREFIX-question" (or the
# project's default prefix's name with "-question"), created on first use;
# its server is stopped at the start and at the end. Exit 77: skipped.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${1:?usage: $0 BIN_DIR}
. "$root/scripts/lib.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

for tool in Xvfb openbox xdotool wine wineserver; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
for file in TavlinLaunch.exe TavlinLaunchQuestion.dll tavlin.exe; do
    [ -f "$bin/$file" ] || skip "no $file in $bin"
done

export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine}-question"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_run=$root/scripts/windows/wine-run.sh

# The installation, in a folder with a Chinese name.
work=$(mktemp -d "${TMPDIR:-/tmp}/tavlin-question-安装.XXXXXX")
inst=$work/inst
mkdir "$inst"
cp "$bin/TavlinLaunch.exe" "$bin/TavlinLaunchQuestion.dll" "$bin/tavlin.exe" "$inst/"

xvfb_pid= openbox_pid= client_pid= launcher_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    for pid in $launcher_pid $client_pid $openbox_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
    for pid in $launcher_pid $client_pid $openbox_pid $xvfb_pid; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

unset DISPLAY
start_xvfb "$work"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
openbox_pid=$!
# openbox owns the screen's WM selection once it manages it.
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 10 ||
    fail "openbox did not start: $(cat "$work/openbox.log")"

# A server of this prefix left from another display would draw there.
wineserver -k 2>/dev/null || true
# No crash dialog (it would hold a crashed launcher until the timeout);
# Wine's UI faces mapped to a font with Chinese for a Chinese question.
settings=$root/tests/window/wine-settings.reg
"$wine_run" regedit /S "Z:${settings//\//\\}"

calls=$inst/tavlin.calls
expected=$work/expected.calls
: >"$expected"
# expect FORMAT ARGS...: appends a record to what tavlin.calls must hold.
expect() { printf "$@" >>"$expected"; }
calls_match() { cmp -s "$calls" "$expected"; }
show_calls() { echo "tavlin.calls:"; od -c "$calls" 2>/dev/null | tail -n 12; echo "expected:"; od -c "$expected" | tail -n 12; }

# The client, started by hand as a user would; its window shows once its
# records are written, and its pipe is served right after.
cd "$inst"
"$wine_run" tavlin.exe first >"$work/client.log" 2>&1 &
client_pid=$!
expect 'version none\nargs 5:first\n'
wait_for 'calls_match' 60 || { show_calls; fail "the client did not start"; }
wait_for '[ -n "$(xdotool search --onlyvisible --pid "$client_pid" 2>/dev/null)" ]' 30 ||
    fail "the client's window did not show"

box=
# ask LINK: starts the launcher for LINK and waits until its question box is
# the focused X window (activated through the window manager). Sets box.
ask() {
    "$wine_run" TavlinLaunch.exe "$1" >"$work/launcher.log" 2>&1 &
    launcher_pid=$!
    box=
    local i
    for ((i = 0; i < 120; i++)); do
        box=$(xdotool search --all --onlyvisible --pid "$launcher_pid" --name '^(Prompt|提示)$' 2>/dev/null | head -n1) || true
        [ -n "$box" ] && break
        alive "$launcher_pid" || fail "the launcher ended without asking: $(cat "$work/launcher.log")"
        sleep 0.25
    done
    [ -n "$box" ] || fail "no question box of the launcher (pid $launcher_pid) within 30 s"
    timeout 10 xdotool windowactivate --sync "$box" 2>/dev/null || timeout 10 xdotool windowfocus --sync "$box" ||
        fail "the question box $box cannot be focused"
    wait_for '[ "$(xdotool getwindowfocus 2>/dev/null)" = "$box" ]' 10 ||
        fail "the focus is on $(xdotool getwindowfocus 2>/dev/null), not the question box $box"
}

# answer KEYS: presses KEYS (the focused box takes them) and checks that the
# launcher ends with 0 and its box is gone.
answer() {
    xdotool key "$1"
    wait_for '! alive "$launcher_pid"' 30 || fail "the launcher did not end after $1"
    local code=0
    wait "$launcher_pid" || code=$?
    launcher_pid=
    [ "$code" -eq 0 ] || fail "the launcher ended with $code after $1: $(cat "$work/launcher.log")"
    xdotool search --onlyvisible --name '^(Prompt|提示)$' >/dev/null 2>&1 && fail "a question box is still shown after $1"
    return 0
}

# Cancel and a closed box: the client is kept and gets the link, with the
# launcher's NUL.
ask 'tavlin://abc?x=1'
answer Escape
expect 'pipe 9:/abc?x=1\0\n'
wait_for 'calls_match' 15 || { show_calls; fail "Escape: the link did not reach the running client"; }
alive "$client_pid" || fail "Escape ended the running client"
echo "ok: Escape keeps the client and hands it the link"

ask 'tavlin://closed'
answer alt+F4
expect 'pipe 8:/closed\0\n'
wait_for 'calls_match' 15 || { show_calls; fail "closing the box: the link did not reach the running client"; }
alive "$client_pid" || fail "closing the box ended the running client"
echo "ok: closing the box keeps the client and hands it the link"

# OK: the running client is ended and a new one starts with the link's
# parameters (nothing is sent over the pipe).
ask 'tavlin://new?room=7'
answer Return
wait_for '! alive "$client_pid"' 15 || fail "Enter did not end the running client"
wait "$client_pid" 2>/dev/null || true
client_pid=
expect 'version none\nargs 11:/new?room=7\n'
wait_for 'calls_match' 30 || { show_calls; fail "Enter: no new client with the link's parameters"; }
wait_for '[ -n "$(xdotool search --onlyvisible --name "^tavlin\$" 2>/dev/null)" ]' 15 ||
    fail "the new client's window is not shown"
echo "ok: Enter replaces the running client"
