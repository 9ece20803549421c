#include "xvfb.h"

namespace tavlin_test {

bool XvfbServer::Start(int timeoutMs, const std::string& screen) {
    std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty()) {
        error_ = "Xvfb not installed";
        return false;
    }
    // The server reports its display number on stdout (-displayfd 1),
    // which ChildProcess captures in memory.
    SpawnOptions options;
    options.argv = {xvfb, "-displayfd", "1", "-screen", "0", screen + "x24", "-nolisten", "tcp",
                    "-noreset"};
    options.env = Environment::Inherit();
    if (!server_.Start(options)) {
        error_ = server_.error();
        return false;
    }
    std::string out;
    bool ready = WaitUntil([&] {
        out = server_.Stdout();
        return out.find('\n') != std::string::npos || !server_.Alive();
    }, timeoutMs, 10);
    if (!ready || out.find('\n') == std::string::npos) {
        error_ = "Xvfb did not report a display: " + server_.Stderr();
        return false;
    }
    display_ = ":" + out.substr(0, out.find('\n'));
    return true;
}

bool HaveXvfbAndXdotool() { return !FindProgram("Xvfb").empty() && !FindProgram("xdotool").empty(); }

std::string FindWindowByName(const Environment& env, const std::string& name, int timeoutSec) {
    RunResult r = Run({"timeout", std::to_string(timeoutSec), "xdotool", "search", "--sync",
                       "--onlyvisible", "--name", "^" + name + "$"},
                      env, (timeoutSec + 5) * 1000);
    if (!r.finished || r.exitCode != 0) return {};
    std::string id = r.out.substr(0, r.out.find('\n'));
    return id;
}

bool PressKey(const Environment& env, const std::string& windowId, const std::string& key) {
    // No window manager runs under Xvfb: set the focus ourselves, then type
    // through XTEST so the key arrives as a real (not synthetic) event.
    RunResult focus = Run({"xdotool", "windowfocus", "--sync", windowId}, env, 10000);
    RunResult press = Run({"xdotool", "key", key}, env, 10000);
    return focus.finished && press.finished && press.exitCode == 0;
}

}  // namespace tavlin_test
