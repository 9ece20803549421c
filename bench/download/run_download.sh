#!/usr/bin/env bash
# Builds (if needed) and runs the download benchmark: tavlin-fetch against
# curl, aria2c -x5 -s5 -k5M and axel -n 5 on a 256 MiB file served by nginx
# on 127.0.0.1. Prints a table and the bytes fetched twice after a kill -9.
#   bench/download/run_download.sh [RUNS]     (default 5)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the file and the
# downloads live in out/bench/download/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers curl aria2c axel nginx
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_download tavlin-fetch >/dev/null
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_download" "$root/out/bench/download" "${1:-5}"
