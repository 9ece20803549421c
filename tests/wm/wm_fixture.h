// Fixture for the updater's windows on a private desktop: the updater as a
// real process (see tests/driver) under a private Xvfb, optionally with a
// real window manager (openbox, xfwm4) or compositing manager (xcompmgr)
// started inside it, and a package server that accepts connections and never
// answers, so the progress window stays up for as long as a test needs it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "screen_shot.h"
#include "platform/unique_fd.h"
#include "xvfb.h"

// Last: Xlib's macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>

namespace tavlin_wm_test {

using tavlin_test::ChildProcess;
using tavlin_test::RunResult;

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// A window manager the windows are tried under.
struct WindowManager {
    const char* program;       // openbox, xfwm4
    bool compositing = false;  // its own compositor on (xfwm4)
};

// The window managers every test of them runs under; xfwm4 without its
// compositor (with it, see the compositor tests).
inline constexpr WindowManager kOpenbox{"openbox"};
inline constexpr WindowManager kXfwm4{"xfwm4"};
inline constexpr WindowManager kWindowManagers[] = {kOpenbox, kXfwm4};

inline void PrintTo(const WindowManager& wm, std::ostream* os) {
    *os << wm.program << (wm.compositing ? " with its compositor" : "");
}
// For gtest's parameterised names.
inline std::string WindowManagerName(const ::testing::TestParamInfo<WindowManager>& info) {
    return std::string(info.param.program) + (info.param.compositing ? "_compositing" : "");
}

class DesktopTest : public tavlin_driver_test::UpdaterTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a program of the desktop (openbox, xcompmgr) on the private
    // server; fails the test when it is not installed.
    ChildProcess StartDesktopProgram(const std::vector<std::string>& argv);
    // Starts the window manager and waits until it manages the screen (and,
    // compositing, owns the compositor selection). Openbox is required;
    // xfwm4 skips the test where it is not installed, so the caller checks
    // IsSkipped().
    ChildProcess StartWindowManager(const WindowManager& wm);
    // Starts xcompmgr and waits until it owns the compositor selection.
    ChildProcess StartCompositor();
    bool CompositorRunning();

    // An updater with an ordinary job against the silent server.
    ChildProcess StartSilentUpdater();

    // The first visible window of that class (of process pid, when given:
    // the server may still show the windows of a client that has just
    // ended); empty when none came in time.
    std::string FindByClass(const std::string& cls, int timeoutSec = 15, pid_t pid = 0);
    Geometry WindowGeometry(const std::string& id);
    // `xprop -id ID PROPERTY`'s text; empty when unreadable.
    std::string Xprop(const std::string& id, const std::vector<std::string>& args);
    RunResult Xdotool(std::vector<std::string> args);
    // What the screen shows of the window's area.
    cycle_test::Shot Capture(const std::string& id);
    // Keeps the capture as <test>-<name>.png in TAVLIN_WM_SHOTS, when set.
    void KeepShot(const cycle_test::Shot& shot, const std::string& name);

    tavlin_test::XvfbServer xvfb_;
    std::string screenSize_ = "1024x768";  // set before SetUp to change it
    Display* dpy_ = nullptr;

private:
    // Waits until a window manager reparents a probe window: a manager
    // announces itself before it handles map requests, and one that arrives
    // meanwhile is lost.
    bool WaitUntilManaged(ChildProcess& wm);
    // xfwm4's settings come from xfconf over D-Bus: a private session bus,
    // started once; DBUS_SESSION_BUS_ADDRESS in env_ names it (SetLanguage
    // drops it again).
    bool StartSessionBus();

    ChildProcess bus_;
    std::string busAddress_;
    platform::UniqueFd silent_;
    int silentPort_ = 0;
};

// Channels of a 0x00RRGGBB pixel.
inline int Red(uint32_t p) { return static_cast<int>((p >> 16) & 0xFF); }
inline int Green(uint32_t p) { return static_cast<int>((p >> 8) & 0xFF); }
inline int Blue(uint32_t p) { return static_cast<int>(p & 0xFF); }

}  // namespace tavlin_wm_test
