#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test suite:
#   build/       the normal build (RelWithDebInfo) and its ctest
#   build-asan/  the same with AddressSanitizer + UndefinedBehaviorSanitizer
#   build-tsan/  the threaded parts with ThreadSanitizer (tests labelled "tsan")
#   build-fuzz/  the libFuzzer targets built with clang, each run for a short fixed time
#   build-win-i686/  the Windows programs (mingw-w64), tested under Wine
#                (scripts/test-windows.sh)
# Stops at the first failure with a non-zero exit status.
# TAVLIN_BUILD_PREFIX renames the four folders (PREFIX, PREFIX-asan, PREFIX-tsan,
# PREFIX-fuzz); TAVLIN_SKIP_SETUP=1 skips the package installation.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${TAVLIN_JOBS:-2}
prefix=${TAVLIN_BUILD_PREFIX:-build}
# A test that outlives this is stuck: it fails with its name instead of
# holding the whole run until CI gives up on it. The longest, under
# ThreadSanitizer, take about 2.5 minutes.
timeout=${TAVLIN_TEST_TIMEOUT:-600}

# Each heading shows the seconds since the start, to keep an eye on CI time.
step() { printf '\n==== [%4ds] %s ====\n' "$SECONDS" "$*"; }

if [ "${TAVLIN_SKIP_SETUP:-0}" != 1 ]; then
    step "installing packages"
    "$root/scripts/setup.sh" build run test
fi

run_suite() {
    local dir=$1
    shift
    step "configure $dir $*"
    cmake -S "$root" -B "$root/$dir" "$@"
    step "build $dir"
    cmake --build "$root/$dir" -j"$jobs"
    step "test $dir"
    ctest --test-dir "$root/$dir" -j"$jobs" --timeout "$timeout" --output-on-failure --no-tests=error
}

run_suite "$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# -O1 and no benchmarks: the sanitizer build is the longest step of a run.
run_suite "$prefix-asan" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" \
    "-DCMAKE_C_FLAGS_DEBUG=-O1 -g" -DTAVLIN_SANITIZE=address -DTAVLIN_BENCH=OFF

# ThreadSanitizer: the threaded parts (download engine, download job, the
# logger's writer thread, the progress window with its job's threads, the
# package extractor's staging threads), i.e.
# the tests labelled "tsan"; only their test programs are built, to keep CI
# time down.
step "configure $prefix-tsan"
cmake -S "$root" -B "$root/$prefix-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_SANITIZE=thread
step "build $prefix-tsan"
cmake --build "$root/$prefix-tsan" -j"$jobs" --target tavlin_download_tests tavlin_job_tests tavlin_updater_tests tavlin_updater_wnd_job_tests unpack_test packer_test
step "test $prefix-tsan"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --test-dir "$root/$prefix-tsan" -j"$jobs" --timeout "$timeout" -L tsan --output-on-failure --no-tests=error

CC=clang CXX=clang++ run_suite "$prefix-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLIN_FUZZ=ON

# The Windows programs and their tests under Wine (TAVLIN_SKIP_WINDOWS=1
# leaves them out on a machine without the Windows toolchain).
if [ "${TAVLIN_SKIP_WINDOWS:-0}" != 1 ]; then
    step "Windows suite"
    "$root/scripts/test-windows.sh"
fi

step "all test suites passed"
