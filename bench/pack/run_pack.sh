#!/usr/bin/env bash
# Builds (if needed) and runs the pack benchmark: tavlin-pack against
# `zip -r -q` and `bsdtar -a -cf x.zip` on a ~110 MB, ~2000-file tree.
# Prints a table of medians and ratios.
#   bench/pack/run_pack.sh [RUNS]       (default 5)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the tree and the
# packages live in out/bench/ and the tree is reused between runs. Installs
# the peers (scripts/setup.sh bench) when they are missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers zip bsdtar
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_pack >/dev/null
TAVLIN_BIN_DIR=$build/bin exec "$build/bin/tavlin_bench_pack" "$root/out/bench" "${1:-5}"
