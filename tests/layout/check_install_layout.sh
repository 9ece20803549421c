#!/usr/bin/env bash
# Installs the build into a fresh folder and checks that it holds exactly the
# expected files, that the programs are executable, and that the updater
# finds the zlib.dll installed beside it.
# Usage: check_install_layout.sh CMAKE BUILD_DIR FILE...
set -euo pipefail
cmake=$1 build=$2
shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

status=0
expected=$(printf '%s\n' "$@" | sort)
actual=$(cd "$prefix" && find . \( -type f -o -type l \) -printf '%P\n' | sort)
if [ "$expected" != "$actual" ]; then
    echo "installed files differ from the layout:"
    diff <(echo "$expected") <(echo "$actual") || true
    status=1
fi
for program in TavlinLaunch.exe temp/Updater.exe tools/tavlin-pack; do
    if [ -e "$prefix/$program" ] && [ ! -x "$prefix/$program" ]; then
        echo "$program is not executable"
        status=1
    fi
done
# ldd's answer is kept before it is searched: with pipefail, grep -q leaving
# at its first match would fail the pipe through ldd's SIGPIPE.
libraries=$(ldd "$prefix/temp/Updater.exe")
if ! grep -qF "zlib.dll => $prefix/temp/zlib.dll" <<<"$libraries"; then
    echo "temp/Updater.exe does not find the zlib.dll beside it:"
    echo "$libraries"
    status=1
fi
if grep -q "not found" <<<"$libraries"; then
    echo "temp/Updater.exe misses a library:"
    grep "not found" <<<"$libraries"
    status=1
fi
[ "$status" -eq 0 ] && echo "layout as expected: $(echo "$actual" | tr '\n' ' ')"
exit "$status"
