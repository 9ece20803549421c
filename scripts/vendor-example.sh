#!/usr/bin/env bash
# A vendor's release from start to end, on this machine (the worked example
# of the README's "Shipping updates"):
#   1. make an Ed25519 signing key and the public key file the updater trusts;
#   2. build the programs with that key built in, and lay out an installation
#      folder with `cmake --install` (plus the client's 1.0 files);
#   3. pack release 2.0 as a signed delta over 1.0 with tools/tavlin-pack;
#   4. serve the package with nginx on 127.0.0.1 and run the updater with the
#      command line the packer printed; then the launcher applies the package
#      and the installation equals release 2.0, modes and times included;
#   5. a package from a broken-into server (its digests on the command line,
#      but no valid signature) is refused and deleted, nothing installed.
# Everything lives in out/vendor/. Exits non-zero when a step fails.
# TAVLIN_SKIP_SETUP=1 skips the package installation; TAVLIN_VENDOR_BUILD_DIR
# picks the build folder (default build-vendor/: a build with a key of its own).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_VENDOR_BUILD_DIR:-$root/build-vendor}
out=$root/out/vendor

say() { printf '\n== %s\n' "$*"; }
fail() { printf '\nVENDOR EXAMPLE FAILED: %s\n' "$*" >&2; exit 1; }
run() { printf '$ %s\n' "$*"; "$@"; }
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

if [ "${TAVLIN_VENDOR_INSIDE:-0}" != 1 ]; then
    if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
        say "Installing the packages the build and this example use"
        "$root/scripts/setup.sh" build run vendor
    fi
    # The updater and the launcher stop every process of the user named
    # tavlin.exe: run in a process namespace of our own where we can.
    export TAVLIN_VENDOR_INSIDE=1
    if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
    elif unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$0" "$@"
    fi
fi

nginx_pid= xvfb_pid= updater_pid=
cleanup() {
    for pid in $updater_pid $nginx_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT


rm -rf "$out"
mkdir -p "$out/keys" "$out/www" "$out/xdg/runtime" "$out/xdg/state" "$out/xdg/data" \
    "$out/xdg/config" "$out/home"
chmod 700 "$out/xdg/runtime"

# ---------------------------------------------------------------------------
say "1. A signing key (kept by the vendor) and the public key the updater trusts"
run openssl genpkey -algorithm ed25519 -out "$out/keys/signing-key.pem"
run openssl pkey -in "$out/keys/signing-key.pem" -pubout -out "$out/keys/update-keys.pem"
cat "$out/keys/update-keys.pem"

# ---------------------------------------------------------------------------
say "2. The programs, built to trust that key, installed into an installation folder"
run cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_BENCH=OFF \
    -DTAVLIN_UPDATE_KEYS="$out/keys/update-keys.pem" >/dev/null
run cmake --build "$build" -j2 --target TavlinLaunch tavlin_launch_question zlibdll tavlinUpdater tavlin-pack \
    client_tavlin client_install_zeb_app
install=$out/install
run cmake --install "$build" --prefix "$install" >/dev/null
(cd "$install" && find . -type f | sed 's|^\./|    |' | sort)

# The client's own files (the stand-in client of this repository plays the
# vendor's client): release 1.0 as the vendor's installer put it in place.
make_release() {
    local tree=$out/release-$1
    mkdir -p "$tree/bin" "$tree/lessons"
    cp -p "$build/bin/tavlin.exe" "$tree/"
    printf '%s' "$1" >"$tree/version.txt"
    printf 'Welcome to Tavlin %s\n' "$1" >"$tree/readme.txt"
    printf '#!/bin/sh\necho "tavlin tool %s"\n' "$1" >"$tree/bin/tool.sh"
    chmod 755 "$tree/bin/tool.sh"
    printf 'lesson one\n' >"$tree/lessons/one.txt"
    touch -d '2026-01-01 12:00:00 UTC' "$tree/lessons/one.txt"
}
make_release 1.0
cp -a "$out/release-1.0/." "$install/"
cp "$build/bin/InstallZebApp.dll" "$install/temp/"

# Release 2.0: a changed script, a new lesson, a new empty folder.
make_release 2.0
head -c 3000000 /dev/urandom >"$out/release-2.0/lessons/video.dat"
touch -d '2026-11-30 08:30:00 UTC' "$out/release-2.0/lessons/video.dat"
mkdir -p "$out/release-2.0/downloads"

# ---------------------------------------------------------------------------
start_nginx "$out/nginx" "$out/www"

say "3. Release 2.0 packed as a signed delta over 1.0"
run "$install/tools/tavlin-pack" "$out/release-2.0" -o "$out/www/update.zip" --base "$out/release-1.0" \
    --sign "$out/keys/signing-key.pem" --url "http://127.0.0.1:$port/update.zip" | tee "$out/pack.txt"
command=$(sed -n 's/^command: //p' "$out/pack.txt")
[ -n "$command" ] || fail "the packer printed no command line"
[ -f "$out/www/update.zip.sig" ] || fail "no update.zip.sig beside the package"

# ---------------------------------------------------------------------------
export HOME=$out/home XDG_RUNTIME_DIR=$out/xdg/runtime XDG_STATE_HOME=$out/xdg/state
export XDG_DATA_HOME=$out/xdg/data XDG_CONFIG_HOME=$out/xdg/config LANG=C.UTF-8
unset LC_ALL LC_MESSAGES TAVLIN_OFFSCREEN
start_xvfb "$out"

registrations() { if [ -f "$install/temp/InstallZebApp.registered" ]; then wc -l <"$install/temp/InstallZebApp.registered"; else echo 0; fi; }
updater_log() { cat "$XDG_STATE_HOME"/vrek/logs/Updater/Updater/*.log 2>/dev/null || true; }

# Runs a job from the installation folder, as the client does, until the
# updater has judged the package (registered it, or rejected it); then
# closes it as the user would close its window.
run_job() {
    local before
    before=$(registrations)
    echo "\$ cd $install && $*"
    (cd "$install" && exec "$@") >"$out/updater.out" 2>&1 &
    updater_pid=$!
    wait_for '[ "$(registrations)" -gt "$before" ] || updater_log | grep -q "package rejected"' 60 ||
        fail "the updater did not judge the package: $(cat "$out/updater.out")"
    kill -TERM "$updater_pid"
    wait "$updater_pid" || true
    updater_pid=
}

say "4. The client hands the job to the updater; the launcher applies the package"
# shellcheck disable=SC2086
run_job $command
[ -f "$install/temp/update.zip" ] || fail "the verified package is not in temp/: $(updater_log)"
echo "verified (MD5, SHA-256 and signature) and left in temp/ for the launcher"
run "$install/TavlinLaunch.exe" '"tavlin://room?id=1"' || fail "the launcher failed"
wait_for '[ -f "$install/tavlin.calls" ]' 10 || fail "the client was not started"

# Every file and folder of release 2.0 is in the installation with its
# content, mode and modification time.
mismatch=0
while IFS= read -r -d '' path; do
    rel=${path#"$out/release-2.0/"}
    if [ ! -e "$install/$rel" ]; then
        echo "missing: $rel"; mismatch=1; continue
    fi
    if [ -f "$path" ] && ! cmp -s "$path" "$install/$rel"; then echo "content differs: $rel"; mismatch=1; fi
    if [ "$(stat -c %a "$path")" != "$(stat -c %a "$install/$rel")" ]; then echo "mode differs: $rel"; mismatch=1; fi
    if [ -f "$path" ] && [ "$(stat -c %Y "$path")" != "$(stat -c %Y "$install/$rel")" ]; then
        echo "time differs: $rel"; mismatch=1
    fi
done < <(find "$out/release-2.0" -mindepth 1 -print0)
[ "$mismatch" -eq 0 ] || fail "the installation differs from release 2.0"
echo "the installation now equals release 2.0 (contents, modes, times): $("$install/bin/tool.sh")"

# ---------------------------------------------------------------------------
say "5. A broken-into server serves its own package: refused"
# The launcher removed temp/Updater.exe with the package; the client puts a
# fresh one in place before it starts the next job.
cp "$build/bin/tavlinUpdater.exe" "$install/temp/Updater.exe"
mkdir -p "$out/evil"
printf '6.6.6' >"$out/evil/version.txt"
run "$install/tools/tavlin-pack" "$out/evil" -o "$out/www/evil.zip" --url "http://127.0.0.1:$port/evil.zip" \
    | tee "$out/evil.txt"
evil=$(sed -n 's/^command: //p' "$out/evil.txt")
# The job carries the evil package's own digests, and the signature of the
# real release: it does not cover this package.
sig=$(cat "$out/www/update.zip.sig")
# shellcheck disable=SC2086
run_job $evil -sig="$sig"
[ ! -e "$install/temp/update.zip" ] || fail "the unsigned package was kept"
[ "$(cat "$install/version.txt")" = 2.0 ] || fail "the unsigned package was installed"
updater_log | grep -a "package rejected" | tail -n1 | sed 's/^/    /'
echo "refused and deleted; the installation is still release 2.0"

say "Vendor example finished: every step passed (files in $out)"
