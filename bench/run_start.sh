#!/usr/bin/env bash
# Builds (if needed) and runs the start benchmark: time from spawning the
# launcher (no update pending, no client running) until the stand-in client
# has recorded its arguments. Prints the median, minimum and maximum.
#   bench/run_start.sh [RUNS] [OWN] [OTHERS]   (default 20 runs, 150 and 150
#   idle processes of our own and of another user, as on a desktop)
# TAVLIN_BUILD_DIR picks the build folder (default build/).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_start >/dev/null
args=("$build/bin/tavlin_bench_start" "$root/out/bench" "${1:-20}" "${2:-150}" "${3:-150}")
export TAVLIN_BIN_DIR=$build/bin
# In a PID namespace of its own, so that a client running elsewhere cannot
# make the launcher ask; the benchmark fills it with idle processes instead.
# As root without a user namespace, so that some of them can run as another
# user.
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child "${args[@]}"
fi
exec "$root/tests/support/run_isolated.sh" "${args[@]}"
