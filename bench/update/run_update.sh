#!/usr/bin/env bash
# Builds (if needed) and runs the update benchmark: temp/Updater.exe
# fetching and verifying a 100 MiB package from nginx on 127.0.0.1 (off-screen
# window), against aria2c -x5 -s5 -k5M + md5sum on the same package.
#   bench/update/run_update.sh [RUNS [LOCALE]]  (default 5, zh_CN.UTF-8;
#                                                en_US.UTF-8: the English window)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the package and
# the downloads live in out/bench/update/ (the package is reused).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers aria2c md5sum nginx
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_update >/dev/null
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_update" "$root/out/bench/update" "${1:-5}" "${2:-zh_CN.UTF-8}"
