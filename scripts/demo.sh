#!/usr/bin/env bash
# Demonstrates the launcher end to end on a demo installation in out/demo:
#   1. a tavlin:// link with no client running: the pending update is applied,
#      the URL scheme registered and the client started with the link's parameters;
#   2. a second link with that client running: the question box appears (under
#      Xvfb when there is no display), is answered Cancel, and the parameters go
#      to the running client over its pipe.
# Exits non-zero when a step fails. TAVLIN_SKIP_SETUP=1 skips the package
# installation, TAVLIN_BUILD_DIR picks another build folder (default build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
demo=$root/out/demo
install=$demo/install

if [ -t 1 ]; then
    say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    say() { printf '\n== %s\n' "$*"; }
fi
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }

if [ "${TAVLIN_DEMO_INSIDE:-0}" != 1 ]; then
    if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
        say "Installing the packages the build and the demo use"
        "$root/scripts/setup.sh"
    fi
    say "Building the launcher and the stand-in client programs"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target TavlinLaunch client_tavlin client_cache_assistant

    # The launcher looks at every process of the user named tavlin.exe. Run
    # the demo in a process namespace of its own, so that a client running
    # elsewhere is neither asked about nor touched, and every process the demo
    # starts ends (and is reaped) with it.
    export TAVLIN_DEMO_INSIDE=1 TAVLIN_BUILD_DIR=$build
    if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
    elif unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$0" "$@"
    fi
    echo "(no private process namespace available: running among the user's processes)"
fi

xvfb_pid=
cleanup() {
    # Every program started from the demo installation, then our X server.
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}; pid=${pid%/exe}
        case "$(readlink "$exe" 2>/dev/null)" in
            "$install"/*) kill -9 "$pid" 2>/dev/null || true ;;
        esac
    done
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Waits up to $2 seconds for a command to succeed.
wait_for() {
    local cmd=$1 seconds=$2 i
    for ((i = 0; i < seconds * 10; i++)); do
        if eval "$cmd"; then return 0; fi
        sleep 0.1
    done
    return 1
}

# True while the process exists and has not ended (a zombie has ended).
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# The installation's data files (not the programs) with their contents.
list_files() {
    (cd "$install" && find . -type f ! -name '*.exe' ! -name '*.zip' ! -name tavlin.calls | sed 's|^\./||' | sort)
}

# Prints the client's record file; NUL bytes show as ^@.
show_calls() { cat -v "$install/tavlin.calls"; }
count_calls() { grep -ac "^$1 " "$install/tavlin.calls" 2>/dev/null || true; }

say "Making the demo installation in $install"
rm -rf "$demo"
mkdir -p "$install/temp" "$install/plugins" "$demo/home" "$demo/xdg/data" "$demo/xdg/config" \
    "$demo/xdg/state" "$demo/xdg/runtime" "$demo/new-version/plugins/chat"
chmod 700 "$demo/xdg/runtime"
for program in TavlinLaunch.exe tavlin.exe tavlinCacheAssistant.exe; do
    cp "$build/bin/$program" "$install/" || fail "$program is not built"
done
printf '1.0' >"$install/version.txt"
printf 'Welcome to Tavlin 1.0\n' >"$install/readme.txt"
printf 'whiteboard plugin\n' >"$install/plugins/whiteboard.txt"
# Leftovers of the updater's last run, which the launcher cleans up.
printf 'old updater' >"$install/temp/Updater.exe"
printf 'partial download' >"$install/temp/update.td0"

# The new version, packed the way the updater leaves it in temp/.
printf '2.0' >"$demo/new-version/version.txt"
printf 'Welcome to Tavlin 2.0 - now with chat\n' >"$demo/new-version/readme.txt"
printf 'chat plugin\n' >"$demo/new-version/plugins/chat/chat.txt"
(cd "$demo/new-version" && zip -q -r -X "$install/temp/update.zip" .)

echo "installed version: $(cat "$install/version.txt")"
echo "pending package (temp/update.zip):"
unzip -l "$install/temp/update.zip" | sed 's/^/    /'

export HOME=$demo/home
export XDG_DATA_HOME=$demo/xdg/data XDG_CONFIG_HOME=$demo/xdg/config
export XDG_STATE_HOME=$demo/xdg/state XDG_RUNTIME_DIR=$demo/xdg/runtime
unset XDG_CONFIG_DIRS XDG_CURRENT_DESKTOP DESKTOP_SESSION LC_ALL LC_MESSAGES
export LANG=en_US.UTF-8
echo "XDG_DATA_HOME=$XDG_DATA_HOME"
echo "XDG_CONFIG_HOME=$XDG_CONFIG_HOME"
echo "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR (mode $(stat -c %a "$XDG_RUNTIME_DIR"))"

# The client's companion is running; the update must stop it.
"$install/tavlinCacheAssistant.exe" &
assistant_pid=$!
disown "$assistant_pid"
echo "tavlinCacheAssistant.exe is running (pid $assistant_pid)"

declare -A before
while read -r f; do before[$f]=$(cat "$install/$f"); done < <(list_files)

link1='"tavlin://room?id=7"'
say "1. Link with no client running: TavlinLaunch.exe $link1"
status=0
"$install/TavlinLaunch.exe" "$link1" 2>"$demo/launch1.log" || status=$?
echo "launcher exit code: $status"
echo "launcher log (stderr):"
sed 's/^/    /' "$demo/launch1.log"
[ "$status" -eq 0 ] || fail "the launcher exited with $status"
wait_for '[ "$(count_calls args)" -ge 1 ]' 10 || fail "the client was not started"

say "Files after the update"
while read -r f; do
    now=$(cat "$install/$f")
    if [ -z "${before[$f]+set}" ]; then change=new
    elif [ "${before[$f]}" != "$now" ]; then change=changed
    else change=unchanged; fi
    printf '    %-26s %-12s %s\n' "$f" "($change)" "$(printf '%s' "$now" | head -c 60 | tr '\n' ' ')"
done < <(list_files)
if [ -z "$(ls -A "$install/temp")" ]; then
    echo "temp/ is empty: the package was moved out and unpacked, the updater's leftovers deleted"
else
    echo "temp/ still holds: $(ls -A "$install/temp" | tr '\n' ' ')"
fi
[ "$(cat "$install/version.txt")" = 2.0 ] || fail "version.txt was not updated"
[ -f "$install/plugins/chat/chat.txt" ] || fail "the new file was not unpacked"
[ ! -e "$install/temp/update.zip" ] && [ ! -e "$install/update.zip" ] || fail "the package was left behind"
[ ! -e "$install/temp/Updater.exe" ] || fail "temp/Updater.exe was left behind"
if wait_for '! alive $assistant_pid' 5; then
    echo "tavlinCacheAssistant.exe (pid $assistant_pid): terminated before unpacking"
else
    fail "tavlinCacheAssistant.exe is still running"
fi

say "URL scheme registration"
entry=$XDG_DATA_HOME/applications/tavlin-launcher.desktop
[ -f "$entry" ] || fail "no desktop entry at $entry"
echo "$entry:"
sed 's/^/    /' "$entry"
echo "desktop-file-validate: $(desktop-file-validate "$entry" 2>&1 && echo valid)"
handler=$(xdg-mime query default x-scheme-handler/tavlin)
echo "xdg-mime query default x-scheme-handler/tavlin -> $handler"
[ "$handler" = tavlin-launcher.desktop ] || fail "tavlin:// is not handled by the launcher"

say "The client was started with (tavlin.calls)"
show_calls | sed 's/^/    /'

say "2. Second link with the client running"
if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$demo/display" 2>"$demo/xvfb.log" &
    xvfb_pid=$!
    wait_for '[ -s "$demo/display" ]' 10 || fail "Xvfb did not start: $(cat "$demo/xvfb.log")"
    export DISPLAY=:$(head -n1 "$demo/display")
    echo "no display: started Xvfb on $DISPLAY"
fi
link2='"tavlin://room?id=8&seat=12"'
echo "TavlinLaunch.exe $link2"
"$install/TavlinLaunch.exe" "$link2" 2>"$demo/launch2.log" &
launcher_pid=$!
window=$(timeout 15 xdotool search --sync --onlyvisible --name '^Prompt$' | head -n1) ||
    fail "the question did not appear"
echo "the question appeared (window $window, titled \"$(xdotool getwindowname "$window")\"); answering Cancel"
xdotool windowfocus --sync "$window"
xdotool key Escape
status=0
wait "$launcher_pid" || status=$?
echo "launcher exit code: $status"
[ "$status" -eq 0 ] || fail "the launcher exited with $status: $(cat "$demo/launch2.log")"
wait_for '[ "$(count_calls pipe)" -ge 1 ]' 10 || fail "nothing arrived on the pipe"
echo "the running client received on its pipe (the text and one NUL, shown as ^@):"
grep -a '^pipe ' "$install/tavlin.calls" | cat -v | sed 's/^/    /'
[ "$(count_calls args)" -eq 1 ] || fail "a second client was started"
echo "no second client was started"

say "Demo finished: every step passed"
