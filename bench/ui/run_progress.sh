#!/usr/bin/env bash
# The progress window's CPU while a download runs: temp/Updater.exe of an
# installation fetches a package from nginx on 127.0.0.1, limited to
# 200 KB/s per connection (about 1 MB/s for the engine's five), with its
# window on a private Xvfb. Over SECONDS of wall time in the middle of the
# download the bench reads the CPU time (user + system) of the window's
# thread (the main thread, /proc/PID/task/PID/stat) and of the whole
# process, and prints them as a share of one core.
#   bench/ui/run_progress.sh [RUNS [SECONDS]]     (default 3 runs of 20 s per language;
#   at 100 clock ticks a second, 20 s resolve 0.05 % of a core)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the files live
# in out/bench/progress/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
runs=${1:-3}
seconds=${2:-20}
work=$root/out/bench/progress
. "$root/bench/peers.sh"
bench_peers nginx Xvfb xdotool zip
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlinUpdater zlibdll client_install_zeb_app >/dev/null

xvfb_pid=
nginx_pid=
updater_pid=
cleanup() {
    for pid in "$updater_pid" "$nginx_pid" "$xvfb_pid"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT
die() { echo "$*" >&2; exit 1; }
wait_for() {
    local cmd=$1 limit=$2 i
    for ((i = 0; i < limit * 10; i++)); do
        if eval "$cmd"; then return 0; fi
        sleep 0.1
    done
    return 1
}
alive() { [ -e "/proc/$1/stat" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
# utime + stime in clock ticks of a /proc stat file (the name may hold spaces).
ticks() { sed 's/^.*) //' "$1" | awk '{print $12 + $13}'; }
# Bytes the process has written (the package file is preallocated, so its
# size says nothing of the progress).
written() { awk '/^wchar:/ {print $2}' "/proc/$1/io"; }

rm -rf "$work"
mkdir -p "$work/www" "$work/nginx/tmp" "$work/install/temp" "$work/home" "$work/xdg/runtime"
chmod 700 "$work/xdg/runtime"
# A package far larger than the measured stretch brings.
mkdir -p "$work/pkg"
head -c $((64 * 1048576)) /dev/urandom >"$work/pkg/lesson.dat"
printf '2.0' >"$work/pkg/version.txt"
(cd "$work/pkg" && zip -q -r -0 -X "$work/www/update.zip" .)
md5=$(md5sum "$work/www/update.zip" | cut -d' ' -f1)
cp "$build/bin/tavlinUpdater.exe" "$work/install/temp/Updater.exe"
cp "$build/bin/zlib.dll" "$build/bin/InstallZebApp.dll" "$work/install/temp/"
printf '1.0' >"$work/install/version.txt"

for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    {
        echo "daemon off; master_process off; worker_processes 1;"
        if [ "$(id -u)" -eq 0 ]; then echo "user root root;"; fi
        echo "pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;"
        echo "events { worker_connections 64; }"
        echo "http { access_log off;"
        for kind in client_body proxy fastcgi uwsgi scgi; do echo "  ${kind}_temp_path $work/nginx/tmp;"; done
        echo "  server { listen 127.0.0.1:$port; root $work/www; limit_rate 200k; }"
        echo "}"
    } >"$work/nginx/nginx.conf"
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
    nginx_pid=$!
    if wait_for '! alive $nginx_pid || (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null' 5 && alive "$nginx_pid"; then break; fi
    nginx_pid=
done
[ -n "$nginx_pid" ] || die "nginx did not start: $(cat "$work/nginx/error.log")"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
wait_for '[ -s "$work/display" ]' 10 || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n1 "$work/display")
export HOME=$work/home XDG_STATE_HOME=$work/xdg/state XDG_RUNTIME_DIR=$work/xdg/runtime
unset TAVLIN_OFFSCREEN XDG_CURRENT_DESKTOP GDK_SCALE
hz=$(getconf CLK_TCK)

# One run: prints "<window thread %> <process %> <downloaded MB>".
measure() {
    local lang=$1
    rm -f "$work/install/temp/update.zip" "$work/install/temp/update.zip.dltmp" "$work/install/temp/InstallZebApp.registered"
    env LANG="$lang" LC_ALL="$lang" "$work/install/temp/Updater.exe" -url="http://127.0.0.1:$port/update.zip" \
        -md5="$md5" -newver=2.0 >"$work/updater.out" 2>&1 &
    updater_pid=$!
    timeout 30 xdotool search --sync --onlyvisible --class '^zeb_updater_wnd_class_name$' >/dev/null 2>&1 ||
        die "no progress window: $(cat "$work/updater.out")"
    wait_for '[ -e "$work/install/temp/update.zip.dltmp" ]' 30 || die "the download did not start"
    # Past the start: the window is drawn whole once and the connections open.
    sleep 2
    local t0 p0 s0 t1 p1 s1 start end
    start=$(date +%s.%N)
    t0=$(ticks "/proc/$updater_pid/task/$updater_pid/stat")
    p0=$(ticks "/proc/$updater_pid/stat")
    s0=$(written "$updater_pid")
    sleep "$seconds"
    t1=$(ticks "/proc/$updater_pid/task/$updater_pid/stat")
    p1=$(ticks "/proc/$updater_pid/stat")
    end=$(date +%s.%N)
    s1=$(written "$updater_pid")
    [ -e "$work/install/temp/update.zip" ] && die "the download ended inside the measured stretch"
    kill "$updater_pid" 2>/dev/null || true
    wait "$updater_pid" 2>/dev/null || true
    updater_pid=
    awk -v t="$((t1 - t0))" -v p="$((p1 - p0))" -v hz="$hz" -v s="$start" -v e="$end" -v b="$((s1 - s0))" \
        'BEGIN { w = e - s; printf "%.3f %.3f %.2f\n", t / hz / w * 100, p / hz / w * 100, b / w / 1048576 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf 'progress window under Xvfb while a download runs at ~1 MB/s, %d runs of %d s each (clock tick %d ms)\n' \
    "$runs" "$seconds" $((1000 / hz))
printf '%-8s %22s %22s %10s\n' window 'window thread % core' 'whole process % core' 'MB/s'
for lang in zh_CN.UTF-8 en_US.UTF-8; do
    : >"$work/samples"
    for ((i = 0; i < runs; i++)); do measure "$lang" >>"$work/samples"; done
    name=Chinese
    [ "$lang" = en_US.UTF-8 ] && name=English
    printf '%-8s %22s %22s %10s\n' "$name" "$(cut -d' ' -f1 "$work/samples" | median)" \
        "$(cut -d' ' -f2 "$work/samples" | median)" "$(cut -d' ' -f3 "$work/samples" | median)"
done
