#!/usr/bin/env bash
# Builds (if needed) and runs the flaky-link benchmark: tavlin-fetch against
# curl -C - (restarted after each reset) and aria2c -x5 --max-tries=0 on a
# file served by a server of the benchmark's own on 127.0.0.1 that resets
# every connection after 256 KiB.
#   bench/download/run_flaky.sh [RUNS] [MIB] [DEADLINE_S]   (default 5 64 120)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the downloads
# live in out/bench/flaky/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers curl aria2c
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_flaky tavlin-fetch >/dev/null
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_flaky" "$root/out/bench/flaky" "${1:-5}" "${2:-64}" "${3:-120}"
