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
if ! ldd "$prefix/temp/Updater.exe" | grep -q "zlib.dll => $prefix/temp/zlib.dll"; then
    echo "temp/Updater.exe does not find the zlib.dll beside it:"
    ldd "$prefix/temp/Updater.exe"
    status=1
fi
if ldd "$prefix/temp/Updater.exe" | grep -q "not found"; then
    echo "temp/Updater.exe misses a library:"
    ldd "$prefix/temp/Updater.exe" | grep "not found"
    status=1
fi
[ "$status" -eq 0 ] && echo "layout as expected: $(echo "$actual" | tr '\n' ' ')"
exit "$status"
