#!/usr/bin/env bash
# Builds and runs the logger benchmark, printing one table.
# usage: bench/logger/run_logger.sh [build folder] [records per run] [repetitions]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$here/bench/peers.sh"
bench_peers /usr/include/spdlog/spdlog.h
build=${1:-"$here/build"}
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" --target tavlin_bench_logger -j2 >/dev/null
"$build/bin/tavlin_bench_logger" "${2:-200000}" "${3:-3}"
