#!/usr/bin/env bash
# The Windows build under Wine against the Linux build on this machine, in
# one run: ExtractZipToDir (zlib.dll) on the unpack benchmark's package
# (about 2000 files, 110 MB, made by tavlin_bench_unpack), into an empty
# folder and over the version before with every file changed. Each run is
# one process of tavlin_bench_extract (bench/wine/extract_bench.cpp, the
# same source in both builds), timed from inside (QueryPerformanceCounter
# on Windows, CLOCK_MONOTONIC on Linux) and from outside (the process's
# wall time, under Wine with its server already running). Then the whole
# ordinary update of a 100 MiB package from nginx on 127.0.0.1, start to
# verified, by each build's tavlinUpdater.exe (when the Windows build has
# it). Medians of RUNS. Figures only: Wine is not Windows.
#   bench/wine/run_wine.sh [RUNS]        (default 5)
# TAVLIN_BUILD_DIR: the Linux build (default build/); TAVLIN_WIN_BUILD_DIR:
# the Windows build (default build-win-i686/, configured with the
# toolchain file when missing; scripts/build-windows.sh makes its
# dependencies). Wine runs in ${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-bench
# unless WINEPREFIX is set. The trees, the update's package and the
# installations live in out/bench/wine/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
runs=${1:-5}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }
build=${TAVLIN_BUILD_DIR:-$root/build}
win_build=${TAVLIN_WIN_BUILD_DIR:-$root/build-win-i686}
bench=$root/out/bench
work=$bench/wine
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavlin/wine-bench}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_run=$root/scripts/windows/wine-run.sh

fail() { echo "run_wine: $*" >&2; exit 1; }
command -v wine >/dev/null || fail "wine is not installed (scripts/build-windows.sh installs it)"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_extract tavlin_bench_unpack >/dev/null
if [ ! -f "$win_build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
        fail "cannot configure the Windows build in $win_build (is the prefix of scripts/build-windows.sh built?)"
fi
cmake --build "$win_build" -j2 --target tavlin_bench_extract >/dev/null

# The unpack benchmark's packages, by the name its program gives them.
version=$(sed -n 's/.*kPackageVersion = "\(v[0-9]*\)".*/\1/p' "$root/bench/unpack_bench.cpp")
[ -n "$version" ] || fail "cannot read the package version from bench/unpack_bench.cpp"
package=$bench/package-$version.zip
older=$bench/older-all-$version.zip
if [ ! -f "$package" ] || [ ! -f "$older" ]; then
    echo "generating the packages (tavlin_bench_unpack, one run) ..."
    TAVLIN_BIN_DIR=$build/bin "$root/tests/support/run_isolated.sh" "$build/bin/tavlin_bench_unpack" "$bench" 1 >/dev/null
fi

unset DISPLAY
# The prefix made on first use; then a server that stays up for the whole
# run, so that a timed process does not start one; it is stopped at the end.
"$wine_run" cmd /c exit >/dev/null 2>&1 || fail "wine does not start in $WINEPREFIX"
wineserver -w
wineserver -p || fail "cannot start a persistent wine server in $WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT

linux_exe=$build/bin/tavlin_bench_extract
wine_exe=$win_build/bin/tavlin_bench_extract.exe
# extract_with SIDE PACKAGE DIR: one run of the program of SIDE (linux or
# wine); prints its line "extract <ms> <files> <bytes>".
extract_with() {
    if [ "$1" = linux ]; then
        "$linux_exe" "$2" "$3"
    else
        wine "$wine_exe" "Z:$2" "Z:$3" | tr -d '\r'
    fi
}

mkdir -p "$work"
rm -f "$work"/*.samples
scenarios=(empty older)
declare -A label=([empty]="into an empty folder" [older]="over the version before, every file changed")
ref_files= ref_bytes=
# One timed run of SIDE in SCENARIO; appends the inside and wall times.
measure() {
    local side=$1 scenario=$2 dir=$work/$1 line start end
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$scenario" = older ]; then extract_with "$side" "$older" "$dir" >/dev/null; fi
    sync
    start=$(date +%s%N)
    line=$(extract_with "$side" "$package" "$dir") || fail "$side: the extract failed: $line"
    end=$(date +%s%N)
    read -r word ms files bytes <<<"$line"
    [ "$word" = extract ] || fail "$side: unexpected output: $line"
    if [ -z "$ref_files" ]; then ref_files=$files ref_bytes=$bytes; fi
    [ "$files" = "$ref_files" ] && [ "$bytes" = "$ref_bytes" ] ||
        fail "$side ($scenario): $files files, $bytes bytes; the first run had $ref_files, $ref_bytes"
    echo "$ms" >>"$work/$side-$scenario-inside.samples"
    echo "$(((end - start) / 1000))" | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$work/$side-$scenario-wall.samples"
}

echo "package: $(basename "$package") ($(($(stat -c %s "$package") / 1000000)) MB), over $(basename "$older"); $runs timed runs each"
for ((run = 0; run < runs; run++)); do
    for scenario in "${scenarios[@]}"; do
        # Alternate which build goes first.
        if ((run % 2 == 0)); then sides=(linux wine); else sides=(wine linux); fi
        for side in "${sides[@]}"; do measure "$side" "$scenario"; done
    done
    if ((run == 0)); then
        diff -r -q "$work/linux" "$work/wine" >/dev/null || fail "the Linux and the Wine run unpacked different trees"
    fi
done
echo "both builds unpacked the same tree: $ref_files files, $ref_bytes bytes"

# stats FILE: "median (min-max)" of the samples in FILE.
stats() {
    sort -n "$1" | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.0f (%.0f-%.0f)\n", m, v[1], v[NR] }'
}
median() { stats "$1" | cut -d' ' -f1; }
echo
echo "| ExtractZipToDir, ms: median (min-max) | Linux inside | Linux wall | Wine inside | Wine wall | Wine/Linux inside |"
echo "|---|---|---|---|---|---|"
for scenario in "${scenarios[@]}"; do
    ratio=$(awk -v a="$(median "$work/wine-$scenario-inside.samples")" \
        -v b="$(median "$work/linux-$scenario-inside.samples")" 'BEGIN { printf "%.2fx", a / b }')
    echo "| ${label[$scenario]} | $(stats "$work/linux-$scenario-inside.samples") |" \
        "$(stats "$work/linux-$scenario-wall.samples") | $(stats "$work/wine-$scenario-inside.samples") |" \
        "$(stats "$work/wine-$scenario-wall.samples") | $ratio |"
done

# The whole ordinary update, as bench/update measures it on Linux: the
# updater as temp/Updater.exe of an installation, off-screen, fetching a
# 100 MiB package from nginx on 127.0.0.1 and verifying its MD5, from its
# start until it registers InstallZebApp.dll (which it does right after the
# digest matched), seen by polling every 10 ms.
echo
if ! cmake --build "$win_build" --target help 2>/dev/null | grep -q '^tavlinUpdater[.:]'; then
    echo "100 MiB ordinary update under Wine: not available yet, tavlinUpdater.exe is not part of the Windows build."
    exit 0
fi
if ! cmake --build "$win_build" -j2 --target tavlinUpdater client_install_zeb_app >"$work/updater-build.log" 2>&1; then
    echo "100 MiB ordinary update under Wine: not available, tavlinUpdater.exe does not build for Windows"
    echo "(see $work/updater-build.log)."
    exit 0
fi
cmake --build "$build" -j2 --target tavlinUpdater zlibdll client_install_zeb_app >/dev/null
www=$work/www
if [ ! -f "$www/update.zip" ]; then
    # One stored entry of random bytes, as bench/update's package.
    rm -rf "$work/package-tree"
    mkdir -p "$work/package-tree/lessons" "$www"
    head -c $((100 * 1048576)) /dev/urandom >"$work/package-tree/lessons/lessons.dat"
    (cd "$work/package-tree" && zip -0 -q -X "$www/update.zip.part" lessons/lessons.dat)
    mv "$www/update.zip.part" "$www/update.zip"
    rm -rf "$work/package-tree"
fi
md5=$(md5sum "$www/update.zip" | cut -d' ' -f1)
. "$root/scripts/lib.sh"
nginx_pid=
trap 'wineserver -k 2>/dev/null || true; [ -z "$nginx_pid" ] || kill "$nginx_pid" 2>/dev/null || true' EXIT
start_nginx "$work/nginx" "$www"
url=http://127.0.0.1:$port/update.zip

# An installation per build: temp/ holds the updater and its two DLLs.
for side in linux wine; do
    rm -rf "$work/update-$side"
    mkdir -p "$work/update-$side/install/temp" "$work/update-$side/home" "$work/update-$side/state"
    mkdir -m 700 "$work/update-$side/runtime"
done
for file in zlib.dll InstallZebApp.dll; do
    cp "$build/bin/$file" "$work/update-linux/install/temp/"
    cp "$win_build/bin/$file" "$work/update-wine/install/temp/"
done
cp "$build/bin/tavlinUpdater.exe" "$work/update-linux/install/temp/Updater.exe"
cp "$win_build/bin/tavlinUpdater.exe" "$work/update-wine/install/temp/Updater.exe"

# One update by the updater of SIDE; appends its start-to-verified time.
update_once() {
    local side=$1 base=$work/update-$1 temp=$work/update-$1/install/temp pid start end i
    rm -f "$temp/update.zip" "$temp/update.zip.dltmp" "$temp/InstallZebApp.registered"
    sync
    start=$(date +%s%N)
    if [ "$side" = linux ]; then
        (cd "$base/home" && exec env -i HOME="$base/home" XDG_STATE_HOME="$base/state" XDG_RUNTIME_DIR="$base/runtime" \
            TAVLIN_OFFSCREEN=1 LANG=zh_CN.UTF-8 PATH=/usr/bin:/bin \
            "$temp/Updater.exe" -url="$url" -md5="$md5" -newver=2.0) >/dev/null 2>&1 &
    else
        TAVLIN_OFFSCREEN=1 LANG=zh_CN.UTF-8 wine "$temp/Updater.exe" -url="$url" -md5="$md5" -newver=2.0 >/dev/null 2>&1 &
    fi
    pid=$!
    for ((i = 0; i < 12000; i++)); do
        [ -f "$temp/InstallZebApp.registered" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    end=$(date +%s%N)
    # Its window would now wait for the user.
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ -f "$temp/InstallZebApp.registered" ] || fail "$side: the updater did not verify the package within 120 s"
    cmp -s "$temp/update.zip" "$www/update.zip" || fail "$side: the updater wrote a different update.zip"
    echo "$(((end - start) / 1000))" | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$work/$side-update.samples"
}

for ((run = 0; run < runs; run++)); do
    if ((run % 2 == 0)); then sides=(linux wine); else sides=(wine linux); fi
    for side in "${sides[@]}"; do update_once "$side"; done
done
ratio=$(awk -v a="$(median "$work/wine-update.samples")" -v b="$(median "$work/linux-update.samples")" \
    'BEGIN { printf "%.2fx", a / b }')
echo "| ordinary update, 100 MiB from nginx on 127.0.0.1, start to verified, ms: median (min-max) | Linux | Wine | Wine/Linux |"
echo "|---|---|---|---|"
echo "| tavlinUpdater.exe as temp/Updater.exe, off-screen | $(stats "$work/linux-update.samples") |" \
    "$(stats "$work/wine-update.samples") | $ratio |"
