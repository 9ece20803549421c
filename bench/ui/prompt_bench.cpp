// Prompt box start-up against zenity, under a private Xvfb: the time from
// spawning the program until its window is mapped, and its peak resident
// memory once shown.
//   tavlin_bench_prompt RUNS
#include <poll.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../bench_util.h"
#include "child_process.h"
#include "xvfb.h"

#include <X11/Xlib.h>

namespace {

using tavlin_bench::Clock;

struct Sample {
    double mapMs = -1;
    long peakKb = -1;
};

long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Drops the events of earlier runs.
void Drain(Display* dpy) {
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
    }
}

// Waits (up to 20 s, while the program runs) for a top-level window to be
// mapped.
bool WaitForMap(Display* dpy, Window root, tavlin_test::ChildProcess& child) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && child.Alive()) {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MapNotify && ev.xmap.event == root && !ev.xmap.override_redirect) return true;
        }
        pollfd p{ConnectionNumber(dpy), POLLIN, 0};
        poll(&p, 1, 5);
    }
    return false;
}

Sample RunOnce(Display* dpy, const tavlin_test::Environment& env, const std::vector<std::string>& argv) {
    Drain(dpy);
    tavlin_test::SpawnOptions o;
    o.argv = argv;
    o.env = env;
    tavlin_test::ChildProcess child;
    Sample s;
    const auto start = Clock::now();
    if (!child.Start(o)) tavlin_bench::Die("cannot start " + argv[0] + ": " + child.error());
    if (!WaitForMap(dpy, DefaultRootWindow(dpy), child)) {
        std::fprintf(stderr, "%s: no window mapped; %s\n", argv[0].c_str(), child.Stderr().c_str());
        return s;
    }
    s.mapMs = tavlin_bench::MillisecondsSince(start);
    // Let it finish drawing its first frame before reading the peak.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s.peakKb = PeakRssKb(child.pid());
    child.Kill();
    child.Wait(5000);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (!tavlin_test::HaveXvfbAndXdotool()) tavlin_bench::Die("Xvfb is not installed");
    const std::string zenity = tavlin_test::FindProgram("zenity");
    if (zenity.empty()) tavlin_bench::Die("zenity is not installed (Debian package zenity)");
    tavlin_test::XvfbServer xvfb;
    if (!xvfb.Start()) tavlin_bench::Die(xvfb.error());
    Display* dpy = XOpenDisplay(xvfb.display().c_str());
    if (!dpy) tavlin_bench::Die("cannot open " + xvfb.display());
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);

    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
    env.Set("DISPLAY", xvfb.display());
    env.Unset("TAVLIN_OFFSCREEN");
    env.Unset("LC_ALL");
    env.Set("LANG", "zh_CN.UTF-8");
    // No accessibility bus under Xvfb: spare zenity the wait for one.
    env.Set("NO_AT_BRIDGE", "1");

    const std::string text = "网络已断开，请检查网络环境后重试~";
    // zenity needs a C library locale that exists to take UTF-8 arguments;
    // the prompt takes its language from LANG alone.
    tavlin_test::Environment zenityEnv = env;
    zenityEnv.Set("LANG", "C.UTF-8");
    struct Peer {
        const char* name;
        std::vector<std::string> argv;
        tavlin_test::Environment env;
        std::vector<double> ms;
        std::vector<double> kb;
    };
    std::vector<Peer> peers = {
        {"tavlin-prompt", {tavlin_bench::BinDir() + "/tavlin-prompt", text, "0"}, env, {}, {}},
        {"zenity --question", {zenity, "--question", "--title=vostrapanel提示", "--text=" + text}, zenityEnv, {}, {}},
    };
    // Alternate the programs so that both see the same machine.
    for (int i = 0; i < runs + 1; ++i)
        for (Peer& p : peers) {
            Sample s = RunOnce(dpy, p.env, p.argv);
            if (i == 0 || s.mapMs < 0) continue;  // the first run warms the caches
            p.ms.push_back(s.mapMs);
            p.kb.push_back(static_cast<double>(s.peakKb));
        }
    XCloseDisplay(dpy);

    std::printf("prompt box under Xvfb, %d runs each (after one warm-up)\n", runs);
    std::printf("%-20s %12s %10s %10s %14s\n", "program", "map median", "min", "max", "peak RSS (KB)");
    for (const Peer& p : peers) {
        auto t = tavlin_bench::Summarise(p.ms);
        auto m = tavlin_bench::Summarise(p.kb);
        std::printf("%-20s %9.1f ms %7.1f ms %7.1f ms %14.0f\n", p.name, t.median, t.min, t.max, m.median);
    }
    return 0;
}
