// The progress window's once-a-second work, off-screen: one progress tick
// (status text, bar, layout) and the repaint that follows, in both
// languages, as the median and 99th percentile of the time per tick and the
// share of one core it takes at one tick a second.
//   tavlin_bench_repaint [ticks]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "UpdaterWnd.h"
#include "platform/window/automation.h"
#include "platform/window/paint.h"

namespace {

using Clock = std::chrono::steady_clock;

void Run(const char* locale, const char* name, int ticks) {
    setenv("LC_ALL", locale, 1);
    CUpdaterWnd wnd;
    if (!wnd.GetHWND()) {
        std::fprintf(stderr, "no window: %s\n", wnd.GetLoadError().c_str());
        std::exit(1);
    }
    wnd.ShowWindow(true, false);
    platform::UpdateWindow(wnd.GetHWND());
    std::vector<double> us;
    us.reserve(static_cast<size_t>(ticks));
    for (int i = 0; i < ticks; ++i) {
        const auto start = Clock::now();
        wnd.ShowProgress(i % 101, static_cast<uint32_t>(i) * 7919u);
        platform::UpdateWindow(wnd.GetHWND());
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    const double p50 = us[us.size() / 2], p99 = us[us.size() * 99 / 100];
    std::printf("%-8s %10.0f %10.0f %12.3f\n", name, p50, p99, p50 / 1e6 * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    platform::SetOffscreenMode(true);
    std::printf("%-8s %10s %10s %12s\n", "window", "p50 us", "p99 us", "% of a core");
    Run("zh_CN.UTF-8", "Chinese", ticks);
    Run("en_US.UTF-8", "English", ticks);
    return 0;
}
