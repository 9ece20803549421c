#!/usr/bin/env bash
# Builds (if needed) and runs the prompt benchmark: time from spawning the
# prompt box program until its window is mapped under Xvfb, and its peak
# RSS, against zenity --question.
#   bench/ui/run_prompt.sh [RUNS]        (default 10)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers zenity Xvfb
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_prompt >/dev/null
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_prompt" "${1:-10}"
