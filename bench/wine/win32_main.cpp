#include <windows.h>

#include "extract_bench.h"

namespace tavlin_bench {

double NowMs() {
    LARGE_INTEGER frequency{}, counter{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e3 / static_cast<double>(frequency.QuadPart);
}

}  // namespace tavlin_bench

// Wide arguments: the paths never go through the ANSI code page.
int wmain(int argc, wchar_t** argv) {
    return tavlin_bench::ExtractBenchMain(std::vector<std::filesystem::path>(argv + 1, argv + argc));
}
