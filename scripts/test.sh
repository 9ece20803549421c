#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test suite:
#   build/       the normal build (RelWithDebInfo) and its ctest
#   build-asan/  the same with AddressSanitizer + UndefinedBehaviorSanitizer
#   build-fuzz/  the libFuzzer targets built with clang, each run for a short fixed time
# Stops at the first failure with a non-zero exit status.
# TAVLIN_BUILD_PREFIX renames the three folders (PREFIX, PREFIX-asan,
# PREFIX-fuzz); TAVLIN_SKIP_SETUP=1 skips the package installation.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${TAVLIN_JOBS:-2}
prefix=${TAVLIN_BUILD_PREFIX:-build}

# Each heading shows the seconds since the start, to keep an eye on CI time.
step() { printf '\n==== [%4ds] %s ====\n' "$SECONDS" "$*"; }

if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
    step "installing packages"
    "$root/scripts/setup.sh"
fi

run_suite() {
    local dir=$1
    shift
    step "configure $dir $*"
    cmake -S "$root" -B "$root/$dir" "$@"
    step "build $dir"
    cmake --build "$root/$dir" -j"$jobs"
    step "test $dir"
    ctest --test-dir "$root/$dir" -j"$jobs" --output-on-failure --no-tests=error
}

run_suite "$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite "$prefix-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_SANITIZE=address

CC=clang CXX=clang++ run_suite "$prefix-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_FUZZ=ON

step "all test suites passed"
