// A private X server for tests that drive real windows, and the xdotool
// calls that find and answer them.
#pragma once

#include <string>

#include "child_process.h"

namespace tavlin_test {

class XvfbServer {
public:
    // Starts Xvfb on a free display (-displayfd) and waits up to timeoutMs
    // for it to be ready. False (with error()) when Xvfb is missing or did
    // not come up. The screen is 1024 x 768 unless `screen` says otherwise
    // ("WIDTHxHEIGHT").
    bool Start(int timeoutMs = 10000, const std::string& screen = "1024x768");
    // ":N" once started.
    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

private:
    ChildProcess server_;
    std::string display_;
    std::string error_;
};

// True when Xvfb and xdotool are both installed.
bool HaveXvfbAndXdotool();

// Waits (bounded by `timeout`) for a visible window whose name is exactly
// `name` and returns its id; empty when none appeared in time.
std::string FindWindowByName(const Environment& env, const std::string& name, int timeoutSec = 10);

// Gives the window the input focus and types `key` (an X keysym name such as
// "Return" or "Escape") into it.
bool PressKey(const Environment& env, const std::string& windowId, const std::string& key);

}  // namespace tavlin_test
