#!/usr/bin/env bash
# Builds (if needed) and runs the unpack benchmark: the launcher against
# unzip and bsdtar on a ~100 MB, ~2000-file package. Prints a table.
#   bench/run_unpack.sh [RUNS]       (default 5)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the package and
# the unpacked trees live in out/bench/ and are reused between runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers unzip bsdtar
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_unpack >/dev/null
# In a PID namespace of its own where possible: a client running elsewhere
# must not make the launcher ask instead of working.
TAVLIN_BIN_DIR=$build/bin exec "$root/tests/support/run_isolated.sh" "$build/bin/tavlin_bench_unpack" "$root/out/bench" "${1:-5}"
