#include <time.h>

#include "extract_bench.h"

namespace tavlin_bench {

double NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace tavlin_bench

int main(int argc, char** argv) {
    return tavlin_bench::ExtractBenchMain(std::vector<std::filesystem::path>(argv + 1, argv + argc));
}
