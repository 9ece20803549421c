#include "wm_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>


namespace tavlin_wm_test {

void DesktopTest::SetUp() {
    if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool missing";
    UpdaterTest::SetUp();
    ASSERT_TRUE(xvfb_.Start(10000, screenSize_)) << xvfb_.error();
    env_.Set("DISPLAY", xvfb_.display());
    dpy_ = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(dpy_, nullptr);
    // A desktop of one colour that no window draws, so a frame (black or
    // any other) around a window shows against it.
    Window root = DefaultRootWindow(dpy_);
    XSetWindowBackground(dpy_, root, 0x3C78B4);
    XClearWindow(dpy_, root);
    XSync(dpy_, False);

    // Accepts connections into its backlog and never reads them: the
    // updater's probe waits, its window stays.
    silent_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(silent_.valid());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(silent_.get(), 16), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(silent_.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    silentPort_ = ntohs(addr.sin_port);
}

void DesktopTest::TearDown() {
    if (dpy_) XCloseDisplay(dpy_);
    dpy_ = nullptr;
    UpdaterTest::TearDown();
}

ChildProcess DesktopTest::StartDesktopProgram(const std::vector<std::string>& argv) {
    ChildProcess child;
    const std::string program = tavlin_test::FindProgram(argv.front());
    if (program.empty()) {
        ADD_FAILURE() << argv.front() << " is not installed (scripts/packages.txt)";
        return child;
    }
    tavlin_test::SpawnOptions o;
    o.argv = argv;
    o.argv.front() = program;
    o.env = env_;
    o.cwd = tmp_.path();
    EXPECT_TRUE(child.Start(o)) << child.error();
    return child;
}

bool DesktopTest::WaitUntilManaged(ChildProcess& wm) {
    // The probe asks again until it gets its frame.
    Window root = DefaultRootWindow(dpy_);
    Window probe = XCreateSimpleWindow(dpy_, root, 0, 0, 10, 10, 0, 0, 0);
    bool managed = false;
    for (int attempt = 0; attempt < 20 && !managed && wm.Alive(); ++attempt) {
        XUnmapWindow(dpy_, probe);
        XMapWindow(dpy_, probe);
        XSync(dpy_, False);
        managed = tavlin_test::WaitUntil([&] {
            Window rootRet = 0, parent = 0;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(dpy_, probe, &rootRet, &parent, &children, &count)) return false;
            if (children) XFree(children);
            return parent != root;
        }, 500, 20);
    }
    XDestroyWindow(dpy_, probe);
    XSync(dpy_, False);
    return managed && wm.Alive();
}

bool DesktopTest::StartSessionBus() {
    if (bus_.running()) {
        env_.Set("DBUS_SESSION_BUS_ADDRESS", busAddress_);
        return true;
    }
    // Its socket in the test's folder; the xfconfd it starts keeps the
    // (default) settings under the test's XDG folders.
    bus_ = StartDesktopProgram({"dbus-daemon", "--session", "--nofork", "--print-address",
                                "--address=unix:dir=" + tmp_.path()});
    std::string out;
    tavlin_test::WaitUntil([&] {
        out = bus_.Stdout();
        return out.find('\n') != std::string::npos || !bus_.Alive();
    }, 10000, 10);
    if (out.find('\n') == std::string::npos) {
        ADD_FAILURE() << "the session bus did not start: " << bus_.Stderr();
        return false;
    }
    busAddress_ = out.substr(0, out.find('\n'));
    env_.Set("DBUS_SESSION_BUS_ADDRESS", busAddress_);
    return true;
}

ChildProcess DesktopTest::StartWindowManager(const WindowManager& wm) {
    const std::string name = wm.program;
    std::vector<std::string> argv;
    if (name == "xfwm4") {
        if (tavlin_test::FindProgram(name).empty()) {
            // GTEST_SKIP returns, which only a void function can.
            [] { GTEST_SKIP() << "xfwm4 is not installed (scripts/packages.txt, test group)"; }();
            return {};
        }
        if (!StartSessionBus()) return {};
        // No accessibility bus: GTK would start one on the session bus.
        env_.Set("NO_AT_BRIDGE", "1");
        argv = {name, wm.compositing ? "--compositor=on" : "--compositor=off", "--vblank=off"};
    } else {
        argv = {name, "--sm-disable"};
    }
    ChildProcess child = StartDesktopProgram(argv);
    EXPECT_TRUE(WaitUntilManaged(child)) << name << " did not take the screen: " << child.Stderr();
    if (wm.compositing) {
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return CompositorRunning() || !child.Alive(); }, 10000, 20) &&
                    child.Alive())
            << name << " did not take the compositor selection: " << child.Stderr();
    }
    return child;
}

bool DesktopTest::CompositorRunning() {
    Atom cm = XInternAtom(dpy_, "_NET_WM_CM_S0", False);
    return XGetSelectionOwner(dpy_, cm) != 0;
}

ChildProcess DesktopTest::StartCompositor() {
    ChildProcess cm = StartDesktopProgram({"xcompmgr"});
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return CompositorRunning() || !cm.Alive(); }, 10000, 20) &&
                cm.Alive())
        << "xcompmgr did not take the compositor selection: " << cm.Stderr();
    return cm;
}

ChildProcess DesktopTest::StartSilentUpdater() {
    return StartUpdater({"-url=http://127.0.0.1:" + std::to_string(silentPort_) + "/update.zip",
                         "-md5=00000000000000000000000000000000", "-newver=9.9.9"});
}

std::string DesktopTest::FindByClass(const std::string& cls, int timeoutSec, pid_t pid) {
    std::vector<std::string> argv{"xdotool", "search", "--onlyvisible"};
    if (pid > 0) argv.insert(argv.end(), {"--all", "--pid", std::to_string(pid)});
    // The pattern last: xdotool reads what follows it as its next command.
    argv.insert(argv.end(), {"--class", "^" + cls + "$"});
    // Asked again until found: a search dies of the X error when a window
    // it walks past is destroyed meanwhile (a window manager starting up).
    std::string id;
    tavlin_test::WaitUntil([&] {
        RunResult r = tavlin_test::Run(argv, env_, 10000);
        if (r.finished && r.exitCode == 0) id = r.out.substr(0, r.out.find('\n'));
        return !id.empty();
    }, timeoutSec * 1000, 100);
    return id;
}

Geometry DesktopTest::WindowGeometry(const std::string& id) {
    Geometry g;
    XWindowAttributes attrs;
    Window child;
    const Window win = std::stoul(id);
    if (XGetWindowAttributes(dpy_, win, &attrs) &&
        XTranslateCoordinates(dpy_, win, DefaultRootWindow(dpy_), 0, 0, &g.x, &g.y, &child)) {
        g.width = attrs.width;
        g.height = attrs.height;
    }
    return g;
}

std::string DesktopTest::Xprop(const std::string& id, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"xprop", "-id", id};
    argv.insert(argv.end(), args.begin(), args.end());
    // A UTF-8 locale that every system has: xprop prints UTF-8 titles as
    // text only in one.
    tavlin_test::Environment env = env_;
    env.Set("LC_ALL", "C.UTF-8");
    RunResult r = tavlin_test::Run(argv, env, 10000);
    return r.finished && r.exitCode == 0 ? r.out : std::string();
}

RunResult DesktopTest::Xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    return tavlin_test::Run(args, env_, 10000);
}

cycle_test::Shot DesktopTest::Capture(const std::string& id) {
    cycle_test::Shot shot;
    std::string error;
    EXPECT_TRUE(cycle_test::CaptureScreen(xvfb_.display(), std::stoul(id), shot, error)) << error;
    return shot;
}

void DesktopTest::KeepShot(const cycle_test::Shot& shot, const std::string& name) {
    const char* folder = std::getenv("TAVLIN_WM_SHOTS");
    if (!folder || !*folder) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::create_directories(folder);
    cycle_test::SavePng(shot, std::string(folder) + "/" + info->test_suite_name() + "." + info->name() + "-" +
                                  name + ".png");
}

}  // namespace tavlin_wm_test
