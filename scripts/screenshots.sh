#!/usr/bin/env bash
# Renders every window the user can meet, in Chinese and in English, on a
# private Xvfb and saves what the screen shows of each into docs/screenshots/:
#   - the progress window downloading (percentage and speed), in a retry
#     (the updater without a network: its own network namespace), in the
#     forced mode, and on completion;
#   - the failure prompts (problem with the package, network disconnected);
#   - the forced-update notice and the update-finished window;
#   - the launcher's question box (a link while the client runs);
#   - on a high-resolution desktop (Xft.dpi: 192) under openbox, the progress
#     window downloading and the prompt of a failed update, twice as large.
# The programs run as the client ships them (a small installation under
# out/screenshots) against nginx on 127.0.0.1 and are driven with xdotool;
# tavlin-xshot captures the windows. No window manager is needed; with
# TAVLIN_SHOTS_COMPOSITOR=1 xcompmgr runs, and the windows show their shadow.
#   scripts/screenshots.sh   (TAVLIN_BUILD_DIR: build folder, default build/;
#                             TAVLIN_SHOTS_DIR: where the pictures go)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
work=$root/out/screenshots
install=$work/install
www=$work/www
shots=${TAVLIN_SHOTS_DIR:-$root/docs/screenshots}

fail() { printf 'SCREENSHOTS FAILED: %s\n' "$*" >&2; exit 1; }

if [ "${TAVLIN_SHOTS_INSIDE:-0}" != 1 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target tavlinUpdater zlibdll TavlinLaunch client_tavlin \
        client_install_zeb_app tavlin-xshot >/dev/null
    # The updater and the launcher stop every process of the user named
    # tavlin.exe: a process namespace of its own keeps the user's away.
    export TAVLIN_SHOTS_INSIDE=1 TAVLIN_BUILD_DIR=$build
    if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
    elif unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$0" "$@"
    fi
    echo "(no private process namespace available: running among the user's processes)"
fi

xvfb_pid=
nginx_pid=
xcompmgr_pid=
openbox_pid=
cleanup() {
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}; pid=${pid%/exe}
        case "$(readlink "$exe" 2>/dev/null)" in
            "$install"/*) kill -9 "$pid" 2>/dev/null || true ;;
        esac
    done
    for pid in "$nginx_pid" "$xcompmgr_pid" "$openbox_pid" "$xvfb_pid"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    done
}
trap cleanup EXIT

wait_for() {
    local cmd=$1 seconds=$2 i
    for ((i = 0; i < seconds * 10; i++)); do
        if eval "$cmd"; then return 0; fi
        sleep 0.1
    done
    return 1
}
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}
find_window() { timeout "$2" xdotool search --sync --onlyvisible --class "^$1\$" 2>/dev/null | head -n1; }
find_of_pid() { timeout "$2" xdotool search --sync --onlyvisible --pid "$1" 2>/dev/null | head -n1; }
shot() {
    local out
    out=$("$build/bin/tavlin-xshot" "$shots/$2.png" "$1") || fail "cannot capture $2"
    echo "  $2.png ($out)"
}
registrations() { if [ -f "$install/temp/InstallZebApp.registered" ]; then grep -c . "$install/temp/InstallZebApp.registered"; else echo 0; fi; }

# A fresh installation of version 1.0 with the updater in temp/.
fresh_install() {
    # A program just stopped may still be ending inside the folder.
    local i
    for i in $(seq 50); do rm -rf "$install" 2>/dev/null && break; sleep 0.1; done
    [ ! -e "$install" ] || fail "cannot remove $install"
    mkdir -p "$install/temp"
    cp "$build/bin/TavlinLaunch.exe" "$build/bin/TavlinLaunchQuestion.so" "$build/bin/tavlin.exe" "$install/"
    cp "$build/bin/tavlinUpdater.exe" "$install/temp/Updater.exe"
    cp "$build/bin/zlib.dll" "$build/bin/InstallZebApp.dll" "$install/temp/"
    printf '1.0' >"$install/version.txt"
}

# Starts temp/Updater.exe in a language ($1), the rest its arguments; sets
# updater_pid. TAVLIN_SHOTS_OFFLINE=1 runs it in a network namespace of
# its own, with a second nginx on its loopback and a veth pair as its
# network, which goes down a second after the download started: the
# updater's retries, then its prompt of a lost network.
start_updater() {
    local lang=$1
    shift
    if [ "${TAVLIN_SHOTS_OFFLINE:-0}" = 1 ]; then
        sed "s|nginx.pid|nginx-offline.pid|" "$work/nginx/nginx.conf" >"$work/nginx/offline.conf"
        env LANG="$lang" LC_ALL="$lang" LC_MESSAGES="$lang" unshare --net sh -c '
            work=$1 program=$2
            shift 2
            ip link set lo up && ip link add v0 type veth peer name v1 && ip addr add 10.9.9.1/24 dev v0 &&
                ip link set v1 up && ip link set v0 up || exit 1
            nginx -p "$work/nginx" -c "$work/nginx/offline.conf" -e "$work/nginx/error.log" &
            server=$!
            for i in $(seq 50); do [ -s "$work/nginx/nginx-offline.pid" ] && break; sleep 0.1; done
            "$program" "$@" &
            updater=$!
            for i in $(seq 300); do [ -e "${program%/*}/update.zip.dltmp" ] && break; sleep 0.1; done
            sleep 1
            ip link set v1 down
            wait $updater; status=$?
            kill $server; exit $status' sh "$work" "$install/temp/Updater.exe" "$@" >"$work/updater.out" 2>&1 &
    else
        env LANG="$lang" LC_ALL="$lang" LC_MESSAGES="$lang" \
            "$install/temp/Updater.exe" "$@" >"$work/updater.out" 2>&1 &
    fi
    updater_pid=$!
}
updater_running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2>/dev/null)" = "$install/temp/Updater.exe" ] && alive "$(basename "$(dirname "$exe")")"; then
            return 0
        fi
    done
    return 1
}
stop_updater() {
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}; pid=${pid%/exe}
        if [ "$(readlink "$exe" 2>/dev/null)" = "$install/temp/Updater.exe" ]; then kill "$pid" 2>/dev/null || true; fi
    done
    wait "$updater_pid" 2>/dev/null || true
    wait_for '! updater_running' 10 || fail "the updater did not end"
    rm -f "$work/nginx/nginx-offline.pid"
}

start_nginx() {
    local conf=$work/nginx/nginx.conf attempt
    mkdir -p "$work/nginx/tmp"
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 30000))
        {
            echo "daemon off; master_process off; worker_processes 1;"
            if [ "$(id -u)" -eq 0 ]; then echo "user root root;"; fi
            echo "pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;"
            echo "events { worker_connections 64; }"
            echo "http {"
            echo "  access_log off;"
            for kind in client_body proxy fastcgi uwsgi scgi; do echo "  ${kind}_temp_path $work/nginx/tmp;"; done
            echo "  server {"
            echo "    listen 127.0.0.1:$port;"
            echo "    root $www;"
            echo "    location /slow/ { alias $www/; limit_rate 256k; }"
            echo "  }"
            echo "}"
        } >"$conf"
        nginx -p "$work/nginx" -c "$conf" -e "$work/nginx/error.log" &
        nginx_pid=$!
        if wait_for '! alive $nginx_pid || (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null' 5 && alive "$nginx_pid"; then
            return 0
        fi
        nginx_pid=
    done
    fail "nginx did not start: $(cat "$work/nginx/error.log")"
}

rm -rf "$work"
mkdir -p "$www" "$shots" "$work/home" "$work/xdg/data" "$work/xdg/config" "$work/xdg/state" "$work/xdg/runtime"
chmod 700 "$work/xdg/runtime"
rm -f "$shots"/*.png

# A package: the client, its version.txt and random data to watch it come.
mkdir -p "$work/pkg"
cp "$build/bin/tavlin.exe" "$work/pkg/"
printf '2.0' >"$work/pkg/version.txt"
head -c $((8 * 1048576)) /dev/urandom >"$work/pkg/lesson.dat"
(cd "$work/pkg" && zip -q -r -X "$www/update.zip" .)
md5=$(md5sum "$www/update.zip" | cut -d' ' -f1)

export HOME=$work/home
export XDG_DATA_HOME=$work/xdg/data XDG_CONFIG_HOME=$work/xdg/config
export XDG_STATE_HOME=$work/xdg/state XDG_RUNTIME_DIR=$work/xdg/runtime
unset XDG_CONFIG_DIRS XDG_CURRENT_DESKTOP DESKTOP_SESSION LC_ALL LC_MESSAGES TAVLIN_OFFSCREEN GDK_SCALE
export LANG=en_US.UTF-8

# A private X server of that screen size ($1); sets DISPLAY and xvfb_pid.
start_xvfb() {
    rm -f "$work/display"
    # -noreset: what the script sets on the root outlives its last client.
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "$1x24" 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    wait_for '[ -s "$work/display" ]' 10 || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    export DISPLAY=:$(head -n1 "$work/display")
}

start_nginx
start_xvfb 1024x768
if [ "${TAVLIN_SHOTS_COMPOSITOR:-0}" = 1 ]; then
    xcompmgr >/dev/null 2>&1 &
    xcompmgr_pid=$!
    sleep 0.5
fi
echo "nginx on 127.0.0.1:$port, Xvfb on $DISPLAY; pictures go to $shots"

notes='-prompt="新增课堂聊天*白板更流畅*修复已知问题"'
for lang in zh_CN.UTF-8 en_US.UTF-8; do
    l=${lang%%_*}
    echo "== $lang"

    # Downloading: a package coming at 256 KB/s.
    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/slow/update.zip" -md5="$md5" -newver=2.0 "$notes"
    w=$(find_window zeb_updater_wnd_class_name 30) || true
    [ -n "$w" ] || fail "no progress window: $(cat "$work/updater.out")"
    wait_for '[ -e "$install/temp/update.zip.dltmp" ]' 30 || fail "the download did not start"
    sleep 2.5
    shot "$w" "progress-downloading-$l"
    stop_updater

    # Completion: the same package at full speed.
    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/update.zip" -md5="$md5" -newver=2.0 "$notes"
    w=$(find_window zeb_updater_wnd_class_name 30) || true
    [ -n "$w" ] || fail "no progress window: $(cat "$work/updater.out")"
    wait_for '[ "$(registrations)" -ge 1 ]' 30 || fail "the package was not verified"
    sleep 1.5
    shot "$w" "progress-completed-$l"
    stop_updater

    # A package whose digest does not match: the prompt of a failed update.
    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/update.zip" -md5=00000000000000000000000000000000 -newver=2.0
    p=$(find_window zeb_updater_tips_wnd_class_name 30) || true
    [ -n "$p" ] || fail "no failure prompt: $(cat "$work/updater.out")"
    sleep 0.5
    shot "$p" "prompt-failed-$l"
    stop_updater

    # Without a network: the retries, then the prompt of a lost network.
    fresh_install
    TAVLIN_SHOTS_OFFLINE=1 start_updater "$lang" -url="http://127.0.0.1:$port/slow/update.zip" -md5="$md5" -newver=2.0
    w=$(find_window zeb_updater_wnd_class_name 30) || true
    [ -n "$w" ] || fail "no progress window: $(cat "$work/updater.out")"
    # The network is checked every 3 s; each retry then shows for 2 s. The
    # Chinese window narrows to 360 pixels at the first one; the English
    # one is taken as long after its start.
    start=$SECONDS
    if [ "$l" = zh ]; then
        wait_for '[ "$(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n "s/.*Geometry: \([0-9]*\)x.*/\1/p")" = 360 ]' 30 ||
            fail "no retry: $(cat "$work/updater.out")"
        retry_after=$((SECONDS - start))
    else
        sleep "${retry_after:-5}"
    fi
    sleep 1
    shot "$w" "progress-retry-$l"
    p=$(find_window zeb_updater_tips_wnd_class_name 60) || true
    [ -n "$p" ] || fail "no prompt of a lost network: $(cat "$work/updater.out")"
    sleep 0.5
    shot "$p" "prompt-offline-$l"
    stop_updater

    # Forced: the notice, the progress window in the forced mode, the
    # update-finished window.
    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/slow/update.zip" -md5="$md5" -forcedupdate=1 -newver=2.0
    n=$(find_window zeb_updater_tips_wnd_class_name 30) || true
    [ -n "$n" ] || fail "no forced-update notice: $(cat "$work/updater.out")"
    sleep 0.5
    shot "$n" "forced-notice-$l"
    xdotool windowfocus --sync "$n"
    xdotool key Return
    w=$(find_window zeb_updater_wnd_class_name 30) || true
    [ -n "$w" ] || fail "no progress window: $(cat "$work/updater.out")"
    sleep 2.5
    shot "$w" "progress-forced-$l"
    f=$(find_window zeb_updater_launch_wnd_class_name 90) || true
    [ -n "$f" ] || fail "no update-finished window: $(cat "$work/updater.out")"
    sleep 0.5
    shot "$f" "update-finished-$l"
    stop_updater

    # The launcher's question: a link while the client runs.
    fresh_install
    env LANG="$lang" LC_ALL="$lang" "$install/tavlin.exe" >/dev/null 2>&1 &
    client_pid=$!
    wait_for '[ -n "$(xdotool search --onlyvisible --class tavlin 2>/dev/null)" ] || [ -e "$install/tavlin.calls" ]' 10 || true
    sleep 0.5
    env LANG="$lang" LC_ALL="$lang" "$install/TavlinLaunch.exe" '"tavlin://room?id=8"' >"$work/launch.out" 2>&1 &
    launcher_pid=$!
    q=$(find_of_pid "$launcher_pid" 15) || true
    [ -n "$q" ] || fail "no question box: $(cat "$work/launch.out")"
    sleep 0.5
    shot "$q" "launcher-question-$l"
    kill "$launcher_pid" "$client_pid" 2>/dev/null || true
    wait "$launcher_pid" "$client_pid" 2>/dev/null || true
done
# A high-resolution desktop: the windows read Xft.dpi from the X resources
# when they connect. The doubled progress window needs a larger screen;
# openbox manages it, as a desktop would.
echo "== 192 dpi under openbox"
for pid in "$xcompmgr_pid" "$xvfb_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
done
xcompmgr_pid=
start_xvfb 1920x1080
xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "$(printf 'Xft.dpi:\t192')"
openbox --sm-disable >/dev/null 2>&1 &
openbox_pid=$!
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 10 || fail "openbox did not start"
# Openbox announces itself a moment before it handles the first map.
sleep 1
for lang in zh_CN.UTF-8 en_US.UTF-8; do
    l=${lang%%_*}
    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/slow/update.zip" -md5="$md5" -newver=2.0 "$notes"
    w=$(find_window zeb_updater_wnd_class_name 30) || true
    [ -n "$w" ] || fail "no progress window: $(cat "$work/updater.out")"
    wait_for '[ -e "$install/temp/update.zip.dltmp" ]' 30 || fail "the download did not start"
    sleep 2.5
    shot "$w" "progress-downloading-$l-192dpi"
    stop_updater

    fresh_install
    start_updater "$lang" -url="http://127.0.0.1:$port/update.zip" -md5=00000000000000000000000000000000 -newver=2.0
    p=$(find_window zeb_updater_tips_wnd_class_name 30) || true
    [ -n "$p" ] || fail "no failure prompt: $(cat "$work/updater.out")"
    sleep 0.5
    shot "$p" "prompt-failed-$l-192dpi"
    stop_updater
done
echo "done: $(du -ch "$shots"/*.png | tail -n1 | cut -f1) in $(ls "$shots" | wc -l) pictures"
