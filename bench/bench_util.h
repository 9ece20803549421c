// Small helpers shared by the benchmark programs: timing, statistics, the
// location of the built programs and the text of a result table.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tavlin_bench {

using Clock = std::chrono::steady_clock;

inline double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stats {
    double median = 0, min = 0, max = 0;
};

inline Stats Summarise(std::vector<double> samples) {
    Stats s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

// The folder holding the built programs: $TAVLIN_BIN_DIR, else the build's.
inline std::string BinDir() {
    const char* fromEnv = std::getenv("TAVLIN_BIN_DIR");
    return fromEnv && *fromEnv ? fromEnv : TAVLIN_BIN_DIR;
}

[[noreturn]] inline void Die(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace tavlin_bench
