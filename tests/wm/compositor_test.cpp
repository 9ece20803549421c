// The progress window's card on a desktop without and with a compositing
// manager, as the X server shows it: without one the window is cut to its
// rounded card (the desktop shows through where the shadow and the corners
// were, no black frame); with one the soft shadow is blended over the
// desktop. The updater follows a compositor that starts or ends while its
// window shows, and keeps its shadow under xfwm4's own compositor.
#include <sstream>

#include "wm_fixture.h"

// After the fixture: Xlib's macros clash with the headers it holds.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace tavlin_wm_test {
namespace {

constexpr char kProgressClass[] = "zeb_updater_wnd_class_name";

// The Chinese progress window: 442 x 433, its card 20 pixels inside the
// shadow margin with corners of radius 12.
constexpr int kWidth = 442, kHeight = 433;

struct Spot {
    const char* where;
    int x, y;
};
// Outside the card: the window's corners, the middle of each margin, and
// just outside each rounded corner of the card.
constexpr Spot kOutside[] = {
    {"top left corner", 1, 1},       {"top right corner", 440, 1},    {"bottom left corner", 1, 431},
    {"bottom right corner", 440, 431}, {"left margin", 8, 216},       {"right margin", 433, 216},
    {"top margin", 221, 8},          {"bottom margin", 221, 426},     {"card's top left arc", 22, 22},
    {"card's top right arc", 419, 22}, {"card's bottom left arc", 22, 411}, {"card's bottom right arc", 419, 411},
};
// On the card, just inside its edges, where nothing but the card is drawn.
constexpr Spot kCard[] = {{"left edge", 23, 216}, {"right edge", 418, 300}, {"top edge", 150, 23},
                          {"bottom edge", 221, 410}};

std::string Describe(uint32_t p) {
    std::ostringstream s;
    s << "rgb(" << Red(p) << "," << Green(p) << "," << Blue(p) << ")";
    return s.str();
}

// What is wrong with the picture of a card on a desktop without a
// compositor; empty when nothing is. `desktop` is the desktop's colour.
std::string CutToCard(const cycle_test::Shot& shot, uint32_t desktop) {
    if (shot.width != kWidth || shot.height != kHeight) return "window size " + std::to_string(shot.width) + "x" +
                                                               std::to_string(shot.height);
    std::string faults;
    for (const Spot& s : kOutside)
        if (shot.At(s.x, s.y) != desktop)
            faults += std::string(s.where) + " shows " + Describe(shot.At(s.x, s.y)) + "; ";
    for (const Spot& s : kCard) {
        uint32_t p = shot.At(s.x, s.y);
        if (Red(p) < 235 || Green(p) < 235 || Blue(p) < 235) faults += std::string(s.where) + " of the card shows " +
                                                                       Describe(p) + "; ";
    }
    return faults;
}

// The same with a compositor: the shadow darkens the desktop a little, and
// somewhere visibly, but nowhere into a dark frame.
std::string BlendedShadow(const cycle_test::Shot& shot, uint32_t desktop) {
    if (shot.width != kWidth || shot.height != kHeight) return "window size " + std::to_string(shot.width) + "x" +
                                                               std::to_string(shot.height);
    std::string faults;
    bool shadow = false;
    auto within = [](int c, int ref) { return c <= ref && c * 10 >= ref * 6; };
    for (const Spot& s : kOutside) {
        uint32_t p = shot.At(s.x, s.y);
        if (!within(Red(p), Red(desktop)) || !within(Green(p), Green(desktop)) || !within(Blue(p), Blue(desktop)))
            faults += std::string(s.where) + " shows " + Describe(p) + " over " + Describe(desktop) + "; ";
        shadow = shadow || Red(p) + Green(p) + Blue(p) + 12 < Red(desktop) + Green(desktop) + Blue(desktop);
    }
    if (!shadow) faults += "no shadow anywhere around the card; ";
    for (const Spot& s : kCard) {
        uint32_t p = shot.At(s.x, s.y);
        if (Red(p) < 235 || Green(p) < 235 || Blue(p) < 235) faults += std::string(s.where) + " of the card shows " +
                                                                       Describe(p) + "; ";
    }
    return faults;
}

class CompositorTest : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        SetLanguage("zh_CN.UTF-8");
    }

    // The desktop's colour as the screen shows it far from the window (a
    // compositor paints the desktop itself).
    uint32_t DesktopColour() {
        cycle_test::Shot screen;
        std::string error;
        EXPECT_TRUE(cycle_test::CaptureScreen(xvfb_.display(), 0, screen, error)) << error;
        return screen.width > 0 ? screen.At(2, 2) : 0;
    }

    // Waits (bounded) until `check` finds nothing wrong with the window's
    // picture; the last fault otherwise.
    std::string Settle(const std::string& id, std::string (*check)(const cycle_test::Shot&, uint32_t),
                       const std::string& name) {
        std::string fault = "never captured";
        cycle_test::Shot shot;
        tavlin_test::WaitUntil([&] {
            shot = Capture(id);
            fault = check(shot, DesktopColour());
            return fault.empty();
        }, 10000, 100);
        KeepShot(shot, name);
        return fault;
    }

    void CloseWithEscape(ChildProcess& updater, const std::string& id) {
        ASSERT_TRUE(tavlin_test::PressKey(env_, id, "Escape"));
        ASSERT_TRUE(updater.Wait(tavlin_driver_test::kProcessTimeoutMs)) << "Escape did not end the updater";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    }
};

TEST_F(CompositorTest, CardWithoutACompositorShadowWithOneFollowingItWhileTheWindowShows) {
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass(kProgressClass);
    ASSERT_FALSE(id.empty()) << "no progress window: " << updater.Stderr();

    EXPECT_EQ(Settle(id, CutToCard, "plain"), "") << "on a plain X server";

    ChildProcess compositor = StartCompositor();
    ASSERT_TRUE(compositor.Alive());
    EXPECT_EQ(Settle(id, BlendedShadow, "composited"), "") << "after a compositor started";

    compositor.Kill();
    ASSERT_TRUE(compositor.Wait(10000));
    EXPECT_EQ(Settle(id, CutToCard, "plain-again"), "") << "after the compositor ended";

    EXPECT_TRUE(updater.Alive()) << updater.Stderr();
    CloseWithEscape(updater, id);
}

// A server without 32-bit visuals (here: without the Composite extension)
// gives the card an ordinary opaque window; it is cut to its card as well,
// or the shadow's margin shows as a black frame with square corners.
TEST_F(CompositorTest, CardCutAlsoOnAServerWithoutTranslucentWindows) {
    tavlin_test::SpawnOptions options;
    options.argv = {tavlin_test::FindProgram("Xvfb"), "-displayfd", "1", "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp", "-noreset", "-extension", "Composite"};
    ChildProcess server;
    ASSERT_TRUE(server.Start(options)) << server.error();
    std::string out;
    tavlin_test::WaitUntil([&] {
        out = server.Stdout();
        return out.find('\n') != std::string::npos || !server.Alive();
    }, 10000, 10);
    ASSERT_NE(out.find('\n'), std::string::npos) << "Xvfb did not start: " << server.Stderr();
    const std::string display = ":" + out.substr(0, out.find('\n'));

    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    XVisualInfo want{};
    want.depth = 32;
    int visuals = 0;
    if (XVisualInfo* found = XGetVisualInfo(dpy, VisualDepthMask, &want, &visuals)) XFree(found);
    Window root = DefaultRootWindow(dpy);
    XSetWindowBackground(dpy, root, 0x3C78B4);
    XClearWindow(dpy, root);
    XSync(dpy, False);
    EXPECT_EQ(visuals, 0) << "the server still offers 32-bit visuals";

    env_.Set("DISPLAY", display);
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass(kProgressClass);
    std::string fault = "no progress window";
    if (!id.empty()) {
        cycle_test::Shot shot, screen;
        tavlin_test::WaitUntil([&] {
            std::string error;
            if (!cycle_test::CaptureScreen(display, std::stoul(id), shot, error) ||
                !cycle_test::CaptureScreen(display, 0, screen, error)) {
                fault = error;
                return false;
            }
            fault = CutToCard(shot, screen.At(2, 2));
            return fault.empty();
        }, 10000, 100);
        KeepShot(shot, "opaque-visual");
    }
    XCloseDisplay(dpy);
    ASSERT_FALSE(id.empty()) << updater.Stderr();
    EXPECT_EQ(fault, "");
    CloseWithEscape(updater, id);
}

// The shadow is only shown: the pointer over it is over whatever lies
// beneath, over the card it is over the window.
TEST_F(CompositorTest, OpensWithItsShadowUnderARunningCompositorWhichTakesNoInput) {
    ChildProcess compositor = StartCompositor();
    ASSERT_TRUE(compositor.Alive());
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass(kProgressClass);
    ASSERT_FALSE(id.empty()) << "no progress window: " << updater.Stderr();
    EXPECT_EQ(Settle(id, BlendedShadow, "composited"), "");

    const Geometry g = WindowGeometry(id);
    auto windowAt = [&](int x, int y) {
        Xdotool({"mousemove", "--sync", std::to_string(g.x + x), std::to_string(g.y + y)});
        std::string out = Xdotool({"getmouselocation", "--shell"}).out;
        size_t at = out.find("WINDOW=");
        return at == std::string::npos ? std::string() : out.substr(at + 7, out.find('\n', at) - at - 7);
    };
    EXPECT_EQ(windowAt(221, 300), id) << "on the card";
    for (const Spot& s : kOutside) EXPECT_NE(windowAt(s.x, s.y), id) << s.where;
    CloseWithEscape(updater, id);
}

// A window manager that composites itself (xfwm4 with its compositor on):
// the card keeps its blended shadow there too.
TEST_F(CompositorTest, ShadowKeptUnderAWindowManagersOwnCompositor) {
    // xfwm4 paints the desktop from the root's pixmap as desktop programs
    // publish it (_XROOTPMAP_ID), black without one: the fixture's colour
    // as such a pixmap.
    Window root = DefaultRootWindow(dpy_);
    Pixmap tile = XCreatePixmap(dpy_, root, 8, 8, DefaultDepth(dpy_, DefaultScreen(dpy_)));
    GC gc = XCreateGC(dpy_, tile, 0, nullptr);
    XSetForeground(dpy_, gc, 0x3C78B4);
    XFillRectangle(dpy_, tile, gc, 0, 0, 8, 8);
    XFreeGC(dpy_, gc);
    XSetWindowBackgroundPixmap(dpy_, root, tile);
    XClearWindow(dpy_, root);
    XChangeProperty(dpy_, root, XInternAtom(dpy_, "_XROOTPMAP_ID", False), XA_PIXMAP, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&tile), 1);
    XSync(dpy_, False);

    ChildProcess wm = StartWindowManager({"xfwm4", true});
    if (IsSkipped()) return;
    ASSERT_TRUE(wm.Alive());
    ASSERT_TRUE(CompositorRunning());
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass(kProgressClass);
    ASSERT_FALSE(id.empty()) << "no progress window: " << updater.Stderr();
    EXPECT_EQ(Settle(id, BlendedShadow, "xfwm4-composited"), "");
    CloseWithEscape(updater, id);
}

}  // namespace
}  // namespace tavlin_wm_test
