#!/usr/bin/env bash
# Builds (if needed) and runs the start benchmark: time from spawning the
# launcher (no update pending, no client running) until the stand-in client
# has recorded its arguments.
#   bench/run_start.sh [RUNS]        (default 20)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_start >/dev/null
# Not in a private PID namespace: the launcher's walk over all processes is
# part of its start, and should see as many as a real desktop has. A client
# running on the machine makes the runs fail (the launcher would ask).
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_start" "$root/out/bench" "${1:-20}"
