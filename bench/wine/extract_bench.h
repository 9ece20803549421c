// One timed ExtractZipToDir, the same source built for Linux and for
// Windows (run under Wine), so that bench/wine/run_wine.sh compares the two
// builds of zlib.dll on one package and one machine.
#pragma once

#include <filesystem>
#include <vector>

namespace tavlin_bench {

// A monotonic clock in milliseconds, from the system's own counter
// (QueryPerformanceCounter on Windows, CLOCK_MONOTONIC on Linux).
double NowMs();

// The program after its name: PACKAGE DIR.
int ExtractBenchMain(const std::vector<std::filesystem::path>& args);

}  // namespace tavlin_bench
