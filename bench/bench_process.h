// Timing a whole program run for the benchmark programs.
#pragma once

#include <string>
#include <vector>

#include "bench_util.h"
#include "child_process.h"

namespace tavlin_bench {

// Runs argv to its end in `env` (this process's environment by default);
// returns its wall time in ms and, when `out` is given, its stdout. Dies
// when the program cannot start, runs over 10 minutes or fails.
inline double TimeProgram(const std::vector<std::string>& argv,
                          const tavlin_test::Environment& env = tavlin_test::Environment::Inherit(),
                          std::string* out = nullptr) {
    tavlin_test::SpawnOptions options;
    options.argv = argv;
    options.env = env;
    tavlin_test::ChildProcess child;
    auto start = Clock::now();
    if (!child.Start(options)) Die(child.error());
    if (!child.Wait(600000)) Die(argv[0] + " did not finish");
    double ms = MillisecondsSince(start);
    if (child.exitCode() != 0) Die(argv[0] + " failed: " + child.Stderr());
    if (out) *out = child.Stdout();
    return ms;
}

}  // namespace tavlin_bench
