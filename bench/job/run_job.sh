#!/usr/bin/env bash
# Builds (if needed) and runs the job benchmark: ExtractZipToDir against
# unzip on the launcher benchmark's package, and the job's MD5 against
# md5sum on 256 MiB, and the job's check of a 100 MiB package with SHA-256
# and a signature against its MD5 alone. Prints medians and ratios.
#   bench/job/run_job.sh [RUNS]      (default 5)
# TAVLIN_BUILD_DIR picks the build folder (default build/); the files live in
# out/bench/ and are reused between runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TAVLIN_BUILD_DIR:-$root/build}
. "$root/bench/peers.sh"
bench_peers unzip md5sum
work=$root/out/bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tavlin_bench_job tavlin_bench_unpack >/dev/null
version=$(sed -n 's/.*kPackageVersion = "\(v[0-9]*\)".*/\1/p' "$root/bench/bench_tree.h")
if [ ! -f "$work/package-$version.zip" ]; then
  # The launcher benchmark makes the package (and runs once).
  TAVLIN_BIN_DIR=$build/bin "$root/tests/support/run_isolated.sh" "$build/bin/tavlin_bench_unpack" "$work" 1 >/dev/null
fi
exec "$build/bin/tavlin_bench_job" "$work" "${1:-5}"
