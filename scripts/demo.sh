#!/usr/bin/env bash
# Demonstrates the whole update cycle on a demo installation in out/demo,
# with nginx serving the update packages on 127.0.0.1 and the windows on an
# X server (a private Xvfb when there is no display):
#   1. ordinary update: temp/Updater.exe downloads and verifies version 2.0,
#      shows its completion line and is closed; the package stays in temp;
#   2. the launcher applies that package at its next start and starts the new
#      client with a tavlin:// link's parameters; a second link, with that
#      client running, goes to it over its pipe after the question is
#      answered Cancel;
#   3. forced update to version 3.0 with the client running: the notice, the
#      client stopped, download, installation, the update-finished window,
#      and the launcher restarting the client with the job's parameters.
# Screenshots of the windows go to out/demo/screenshots. Exits non-zero when
# a step fails. TAVLIN_SKIP_SETUP=1 skips the package installation,
# TAVLIN_BUILD_DIR picks another build folder (default build/),
# TAVLIN_DEMO_LANG the updater's language (default zh_CN.UTF-8; the English
# progress window shows no version, notes or green completion line).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
demo=$root/out/demo
install=$demo/install
www=$demo/www
shots=$demo/screenshots
updater_lang=${TAVLIN_DEMO_LANG:-zh_CN.UTF-8}

if [ -t 1 ]; then
    say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    say() { printf '\n== %s\n' "$*"; }
fi
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

if [ "${TAVLIN_DEMO_INSIDE:-0}" != 1 ]; then
    if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
        say "Installing the packages the build and the demo use"
        "$root/scripts/setup.sh" build run demo
    fi
    say "Building the updater, the launcher and the stand-in client programs"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target tavlinUpdater zlibdll TavlinLaunch client_tavlin \
        client_cache_assistant client_install_zeb_app tavlin-xshot

    # The updater and the launcher stop every process of the user named
    # tavlin.exe. Run the demo in a process namespace of its own, so that a
    # client running elsewhere is neither asked about nor touched, and every
    # process the demo starts ends (and is reaped) with it.
    export TAVLIN_DEMO_INSIDE=1 TAVLIN_BUILD_DIR=$build
    if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
    elif unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$0" "$@"
    fi
    echo "(no private process namespace available: running among the user's processes)"
fi

xvfb_pid=
nginx_pid=
cleanup() {
    # Every program started from the demo installation, then our servers.
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}; pid=${pid%/exe}
        case "$(readlink "$exe" 2>/dev/null)" in
            "$install"/*) kill -9 "$pid" 2>/dev/null || true ;;
        esac
    done
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT


# PIDs of the running clients of the demo installation.
client_pids() {
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}; pid=${pid%/exe}
        if [ "$(readlink "$exe" 2>/dev/null)" = "$install/tavlin.exe" ] && alive "$pid"; then echo "$pid"; fi
    done
}

# The installation's data files (not the programs) with their contents.
list_files() {
    (cd "$install" && find . -type f ! -name '*.exe' ! -name '*.zip' ! -name '*.dll' ! -name tavlin.calls \
        ! -path './temp/*' | sed 's|^\./||' | sort)
}

# The client's record file: NUL bytes show as ^@.
show_calls() { cat -v "$install/tavlin.calls"; }
count() { if [ -f "$2" ]; then grep -ac "$1" "$2" || true; else echo 0; fi; }
count_calls() { count "^$1 " "$install/tavlin.calls"; }
# The last "args" record's text, the last "version" record's text.
last_args() { grep -a '^args ' "$install/tavlin.calls" | tail -n1 | sed 's/^args [0-9]*://'; }
last_version() { grep -a '^version ' "$install/tavlin.calls" | tail -n1 | sed 's/^version //'; }
registrations() { count . "$install/temp/InstallZebApp.registered"; }

# Waits for a visible window of an X class and prints its id.
find_window() {
    timeout "$2" xdotool search --sync --onlyvisible --class "^$1\$" 2>/dev/null | head -n1
}

# Saves what the screen shows of a window (the whole screen for an empty
# id); prints the tool's "WxH green=N".
shot() {
    "$build/bin/tavlin-xshot" "$shots/$2.png" $1
}

# Presses a key in a window (no window manager under Xvfb: focus it first).
press() {
    xdotool windowfocus --sync "$1"
    xdotool key "$2"
}

click() {
    xdotool mousemove --sync --window "$1" "$2" "$3"
    xdotool click 1
}

# Updater.exe in the demo installation's temp folder, in the updater's
# language, in the background; sets updater_pid.
start_updater() {
    env LANG="$updater_lang" LC_ALL="$updater_lang" LC_MESSAGES="$updater_lang" \
        "$install/temp/Updater.exe" "$@" >"$demo/updater.out" 2>&1 &
    updater_pid=$!
}

wait_updater() {
    local status=0
    wait "$updater_pid" || status=$?
    echo "updater exit code: $status"
    [ "$status" -eq 0 ] || fail "the updater exited with $status: $(cat "$demo/updater.out")"
}

# The newest log file of the updater (its program name is Updater).
updater_log() { ls -t "$XDG_STATE_HOME"/vrek/logs/Updater/Updater/*.log 2>/dev/null | head -n1; }


say "Making the demo installation in $install"
rm -rf "$demo"
mkdir -p "$install/temp" "$install/plugins" "$www" "$shots" "$demo/home" "$demo/xdg/data" "$demo/xdg/config" \
    "$demo/xdg/state" "$demo/xdg/runtime"
chmod 700 "$demo/xdg/runtime"
for program in TavlinLaunch.exe TavlinLaunchQuestion.so tavlin.exe tavlinCacheAssistant.exe; do
    cp "$build/bin/$program" "$install/" || fail "$program is not built"
done
# The client places the updater in temp before it starts it.
cp "$build/bin/tavlinUpdater.exe" "$install/temp/Updater.exe" || fail "tavlinUpdater.exe is not built"
cp "$build/bin/zlib.dll" "$build/bin/InstallZebApp.dll" "$install/temp/"
printf '1.0' >"$install/version.txt"
printf 'Welcome to Tavlin 1.0\n' >"$install/readme.txt"
printf 'whiteboard plugin\n' >"$install/plugins/whiteboard.txt"
echo "installed version: $(cat "$install/version.txt")"
(cd "$install" && find . -type f | sed 's|^\./|    |' | sort)

say "Making the update packages (entries relative to the installation folder)"
# Each version: the client program, its version.txt and some data.
make_version() {
    local version=$1 folder=$demo/version-$1
    mkdir -p "$folder"
    cp "$build/bin/tavlin.exe" "$folder/"
    printf '%s' "$version" >"$folder/version.txt"
    printf 'Welcome to Tavlin %s\n' "$version" >"$folder/readme.txt"
    shift
    local file
    for file in "$@"; do
        mkdir -p "$folder/$(dirname "$file")"
        printf '%s %s\n' "$(basename "$file")" "$version" >"$folder/$file"
    done
}
make_version 2.0 plugins/chat/chat.txt
# Lesson data makes version 2.0 big enough to watch its download.
mkdir -p "$demo/version-2.0/lessons"
head -c $((4 * 1048576)) /dev/urandom >"$demo/version-2.0/lessons/intro.dat"
make_version 3.0 plugins/chat/chat.txt plugins/quiz/quiz.txt
for version in 2.0 3.0; do
    (cd "$demo/version-$version" && zip -q -r -X "$www/update-$version.zip" .)
done
md5_2=$(md5sum "$www/update-2.0.zip" | cut -d' ' -f1)
md5_3=$(md5sum "$www/update-3.0.zip" | cut -d' ' -f1)
for version in 2.0 3.0; do
    echo "update-$version.zip, MD5 $(md5sum "$www/update-$version.zip" | cut -d' ' -f1):"
    unzip -l "$www/update-$version.zip" | sed 's/^/    /'
done

export HOME=$demo/home
export XDG_DATA_HOME=$demo/xdg/data XDG_CONFIG_HOME=$demo/xdg/config
export XDG_STATE_HOME=$demo/xdg/state XDG_RUNTIME_DIR=$demo/xdg/runtime
unset XDG_CONFIG_DIRS XDG_CURRENT_DESKTOP DESKTOP_SESSION LC_ALL LC_MESSAGES TAVLIN_OFFSCREEN
export LANG=en_US.UTF-8
echo "XDG_STATE_HOME=$XDG_STATE_HOME (the updater's logs)"
echo "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR (mode $(stat -c %a "$XDG_RUNTIME_DIR"))"

# The first package comes at 1 MB/s, so the progress can be seen.
start_nginx "$demo/nginx" "$www" "location /slow/ { alias $www/; limit_rate 1m; }"
echo "nginx serves $www on http://127.0.0.1:$port/ (and at 1 MB/s per connection below /slow/)"
start_xvfb "$demo"
echo "the updater runs with LANG=$updater_lang"

# ---------------------------------------------------------------------------
say "1. Ordinary update to 2.0"
args=(-url="http://127.0.0.1:$port/slow/update-2.0.zip" -md5="$md5_2" -newver=2.0
    '-prompt="新增课堂聊天*白板更流畅*修复已知问题"' -pagecallparam=/room?id=7)
echo "temp/Updater.exe ${args[*]}"
start_updater "${args[@]}"
window=$(find_window zeb_updater_wnd_class_name 30) || true
[ -n "$window" ] || fail "no progress window: $(cat "$demo/updater.out")"
echo "the progress window is up: \"$(xdotool getwindowname "$window")\" (window $window)"
wait_for '[ -e "$install/temp/update.zip.dltmp" ]' 30 || fail "the download did not start"
sleep 1.5
echo "screenshot while downloading: $shots/1-downloading.png ($(shot "$window" 1-downloading))"
wait_for '[ "$(registrations)" -ge 1 ]' 60 || fail "the package was not verified"
echo "digest matched: InstallZebApp.dll registered ($(tail -n1 "$install/temp/InstallZebApp.registered"))"
green_pixels() { local out; out=$(shot "$1" "$2") || out=; echo "${out##*green=}" | grep -E '^[0-9]+$' || echo 0; }
wait_for '[ "$(green_pixels "$window" 1-completed)" -gt 0 ]' 20 ||
    fail "the window did not show its completion line"
echo "screenshot of the completion line (green: \"已下载：100%   新版本将在下次启动时安装！！\","
echo "  'downloaded 100%, the new version is installed at the next start'): $shots/1-completed.png"
alive "$updater_pid" || fail "the updater ended before the user closed it"
echo "the updater waits for the user; closing its window with its close button"
click "$window" 56 44
wait_updater
[ -f "$install/temp/update.zip" ] || fail "temp/update.zip was not left for the launcher"
[ "$(md5sum <"$install/temp/update.zip" | cut -d' ' -f1)" = "$md5_2" ] || fail "temp/update.zip is not the package"
echo "temp/update.zip is left for the launcher (MD5 $md5_2); installed version still $(cat "$install/version.txt")"
log=$(updater_log)
echo "updater log $log:"
grep -a 'ZipUrl' "$log" | sed 's/^/    /'

# ---------------------------------------------------------------------------
declare -A before
# A text file's start, or a binary file's size.
show_file() {
    if grep -Iq . "$1"; then head -c 50 "$1" | tr -c '[:print:]' ' '; else echo "($(stat -c %s "$1") bytes)"; fi
}
while read -r f; do before[$f]=$(md5sum <"$install/$f"); done < <(list_files)

"$install/tavlinCacheAssistant.exe" &
assistant_pid=$!
disown "$assistant_pid"
echo "the client's companion tavlinCacheAssistant.exe is running (pid $assistant_pid); the update must stop it"

link1='"tavlin://room?id=7"'
say "2. The next start: TavlinLaunch.exe $link1"
status=0
"$install/TavlinLaunch.exe" "$link1" 2>"$demo/launch1.log" || status=$?
echo "launcher exit code: $status"
sed 's/^/    /' "$demo/launch1.log"
[ "$status" -eq 0 ] || fail "the launcher exited with $status"
wait_for '[ "$(count_calls args)" -ge 1 ]' 10 || fail "the client was not started"

echo "files after the update:"
while read -r f; do
    now=$(md5sum <"$install/$f")
    if [ -z "${before[$f]+set}" ]; then change=new
    elif [ "${before[$f]}" != "$now" ]; then change=changed
    else change=unchanged; fi
    printf '    %-28s %-12s %s\n' "$f" "($change)" "$(show_file "$install/$f")"
done < <(list_files)
echo "temp/ now holds: $(ls -A "$install/temp" | tr '\n' ' ')(the updater and the package are gone)"
[ "$(cat "$install/version.txt")" = 2.0 ] || fail "version.txt was not updated"
[ ! -e "$install/temp/update.zip" ] && [ ! -e "$install/update.zip" ] || fail "the package was left behind"
[ ! -e "$install/temp/Updater.exe" ] || fail "temp/Updater.exe was left behind"
wait_for '! alive $assistant_pid' 5 || fail "tavlinCacheAssistant.exe is still running"
echo "tavlinCacheAssistant.exe (pid $assistant_pid): terminated before unpacking"

entry=$XDG_DATA_HOME/applications/tavlin-launcher.desktop
[ -f "$entry" ] || fail "no desktop entry at $entry"
handler=$(xdg-mime query default x-scheme-handler/tavlin)
echo "URL scheme: $entry, desktop-file-validate: $(desktop-file-validate "$entry" 2>&1 && echo valid)," \
    "xdg-mime query default x-scheme-handler/tavlin -> $handler"
[ "$handler" = tavlin-launcher.desktop ] || fail "tavlin:// is not handled by the launcher"

echo "the client was started (tavlin.calls):"
show_calls | sed 's/^/    /'
[ "$(last_version)" = 2.0 ] || fail "the client does not see version 2.0"
[ "$(last_args)" = '/room?id=7"' ] || fail "the client got the wrong parameters: $(last_args)"

link2='"tavlin://room?id=8&seat=12"'
say "2b. A second link with the client running: TavlinLaunch.exe $link2"
"$install/TavlinLaunch.exe" "$link2" 2>"$demo/launch2.log" &
launcher_pid=$!
question=$(timeout 15 xdotool search --sync --onlyvisible --name '^Prompt$' | head -n1) ||
    fail "the question did not appear"
echo "the question appeared (\"$(xdotool getwindowname "$question")\"): $shots/2-question.png ($(shot "$question" 2-question))"
echo "answering Cancel"
press "$question" Escape
status=0
wait "$launcher_pid" || status=$?
[ "$status" -eq 0 ] || fail "the launcher exited with $status: $(cat "$demo/launch2.log")"
wait_for '[ "$(count_calls pipe)" -ge 1 ]' 10 || fail "nothing arrived on the pipe"
echo "the running client received on its pipe (the text and one NUL, shown as ^@):"
grep -a '^pipe ' "$install/tavlin.calls" | cat -v | sed 's/^/    /'
[ "$(count_calls args)" -eq 1 ] || fail "a second client was started"

# ---------------------------------------------------------------------------
say "3. Forced update to 3.0 with the client running"
client=$(client_pids | head -n1)
[ -n "$client" ] || fail "no client is running"
cp "$build/bin/tavlinUpdater.exe" "$install/temp/Updater.exe"
echo "the client is running (pid $client); it placed a fresh temp/Updater.exe"
args=(-url="http://127.0.0.1:$port/update-3.0.zip" -md5="$md5_3" -forcedupdate=1 -newver=3.0
    -pagecallparam=/room?id=9)
echo "temp/Updater.exe ${args[*]}"
start_updater "${args[@]}"
notice=$(find_window zeb_updater_tips_wnd_class_name 30) || true
[ -n "$notice" ] || fail "no forced-update notice: $(cat "$demo/updater.out")"
echo "the notice (\"您的客户端版本太低，将更新至最新版本!\", 'your client is too old, it is updated now'):"
echo "    $shots/3-notice.png ($(shot "$notice" 3-notice))"
alive "$client" || fail "the client was stopped before the notice was answered"
echo "answering it with Enter"
press "$notice" Return
wait_for '! alive $client' 15 || fail "the client was not stopped"
echo "the client (pid $client) was stopped"
progress=$(find_window zeb_updater_wnd_class_name 30) || true
[ -n "$progress" ] || fail "no progress window: $(cat "$demo/updater.out")"
sleep 1
echo "the progress window in the forced mode (\"客户端有新版本，正在自动更新，请稍候哦\","
echo "  'a new version of the client, updating now'): $shots/3-updating.png ($(shot "$progress" 3-updating || true))"
finished=$(find_window zeb_updater_launch_wnd_class_name 60) || true
[ -n "$finished" ] || fail "no update-finished window: $(cat "$demo/updater.out")"
echo "the update-finished window (\"升级完成，重新打开上课吧！\", 'update complete, open it now'):"
echo "    $shots/3-finished.png ($(shot "$finished" 3-finished)), the whole screen: $shots/3-screen.png"
shot "" 3-screen >/dev/null
[ "$(cat "$install/version.txt")" = 3.0 ] || fail "version 3.0 was not unpacked"
[ -f "$install/plugins/quiz/quiz.txt" ] || fail "the new file was not unpacked"
echo "already installed: version.txt $(cat "$install/version.txt"), plugins/quiz/quiz.txt;" \
    "InstallZebApp.dll registered $(registrations) times in all (after the digest and after the installation)"
[ "$(client_pids | wc -l)" -eq 0 ] || fail "a client runs before the window was closed"
echo "clicking its button (打开客户端, 'open the client')"
click "$finished" 210 136
wait_updater
wait_for '[ "$(count_calls args)" -ge 2 ]' 15 || fail "the launcher did not start the client"
echo "the launcher started the client again (tavlin.calls):"
show_calls | tail -n2 | sed 's/^/    /'
[ "$(last_version)" = 3.0 ] || fail "the client does not see version 3.0"
[ "$(last_args)" = '/room?id=9' ] || fail "the client got the wrong parameters: $(last_args)"
log=$(updater_log)
echo "updater log $log:"
grep -a -e 'ZipUrl' -e 'install success' "$log" | sed 's/^/    /'

say "Demo finished: every step passed (screenshots in $shots)"
