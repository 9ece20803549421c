// The updater's windows under real window managers (openbox, xfwm4) inside
// the private Xvfb: no decorations, centred on the monitor, dragged by their
// caption, kept above other windows across minimising and restoring, their
// title and icon for the task list, and Alt+F4 closing them as Escape does.
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/window/message_loop.h"
#include "platform/window/window.h"
#include "wm_fixture.h"

#include <X11/Xatom.h>

namespace tavlin_wm_test {
namespace {

constexpr char kProgressClass[] = "zeb_updater_wnd_class_name";
constexpr char kPromptClass[] = "zeb_updater_tips_wnd_class_name";
constexpr char kClientClass[] = "vostrapanel";
constexpr int kScreenWidth = 1024, kScreenHeight = 768;  // the fixture's Xvfb

class WindowManagerTest : public DesktopTest, public ::testing::WithParamInterface<WindowManager> {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        wm_ = StartWindowManager(GetParam());
        if (IsSkipped()) return;
        ASSERT_TRUE(wm_.Alive());
    }

    // A 32-bit property of a window (or the root, id 0) as numbers.
    std::vector<long> Numbers(Window win, const char* property, Atom type) {
        Atom got = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<long> out;
        if (XGetWindowProperty(dpy_, win ? win : DefaultRootWindow(dpy_), XInternAtom(dpy_, property, False), 0,
                               1 << 20, False, type, &got, &format, &count, &after, &data) == Success &&
            data && format == 32)
            out.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
        if (data) XFree(data);
        return out;
    }

    // The window the manager reports active (_NET_ACTIVE_WINDOW).
    std::string ActiveWindow() {
        std::vector<long> active = Numbers(0, "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return active.empty() ? std::string() : std::to_string(active[0]);
    }

    // Activates the window as a task list does, and checks the manager made
    // it the active one.
    void Activate(const std::string& id) {
        Xdotool({"windowactivate", id});
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return ActiveWindow() == id; }, 5000, 50))
            << "window " << id << " not activated; active: " << ActiveWindow();
    }

    bool HasState(const std::string& id, const char* state) {
        const long wanted = static_cast<long>(XInternAtom(dpy_, state, False));
        for (long a : Numbers(std::stoul(id), "_NET_WM_STATE", XA_ATOM))
            if (a == wanted) return true;
        return false;
    }

    // Whether `upper` is stacked above `lower`, as the window manager lists
    // its clients bottom to top.
    bool StackedAbove(const std::string& upper, const std::string& lower) {
        std::vector<long> stacking = Numbers(0, "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
        auto at = [&](const std::string& id) {
            for (size_t i = 0; i < stacking.size(); ++i)
                if (stacking[i] == static_cast<long>(std::stoul(id))) return static_cast<int>(i);
            return -1;
        };
        return at(upper) > at(lower) && at(lower) >= 0;
    }

    // No frame: the window manager's decorations would add extents.
    void ExpectUndecoratedAndCentred(const std::string& id, int width, int height) {
        EXPECT_EQ(Numbers(std::stoul(id), "_NET_FRAME_EXTENTS", XA_CARDINAL), (std::vector<long>{0, 0, 0, 0}));
        std::vector<long> motif = Numbers(std::stoul(id), "_MOTIF_WM_HINTS", AnyPropertyType);
        ASSERT_GE(motif.size(), 3u);
        EXPECT_TRUE(motif[0] & 2) << "no decorations field";
        EXPECT_EQ(motif[2], 0) << "decorations asked for";
        Geometry g = WindowGeometry(id);
        EXPECT_EQ(g.width, width);
        EXPECT_EQ(g.height, height);
        EXPECT_NEAR(g.x, (kScreenWidth - width) / 2, 1);
        EXPECT_NEAR(g.y, (kScreenHeight - height) / 2, 1);
    }

    ChildProcess wm_;
};

TEST_P(WindowManagerTest, ProgressWindowLooksAndBehavesAsAnApplicationWindow) {
    SetLanguage("zh_CN.UTF-8");
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass(kProgressClass);
    ASSERT_FALSE(id.empty()) << "no progress window: " << updater.Stderr();
    ExpectUndecoratedAndCentred(id, 442, 433);
    // It activates itself once mapped; until then another window activated
    // would lose the focus to it again.
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return ActiveWindow() == id; }, 5000, 50));

    // Title and icon for the task list.
    EXPECT_NE(Xprop(id, {"_NET_WM_NAME"}).find("_NET_WM_NAME(UTF8_STRING) = \"升级程序\""), std::string::npos)
        << Xprop(id, {"_NET_WM_NAME"});
    std::vector<long> icon = Numbers(std::stoul(id), "_NET_WM_ICON", XA_CARDINAL);
    ASSERT_GE(icon.size(), 2u);
    EXPECT_GT(icon[0], 0);
    EXPECT_EQ(icon.size(), static_cast<size_t>(2 + icon[0] * icon[1]));
    EXPECT_FALSE(HasState(id, "_NET_WM_STATE_SKIP_TASKBAR"));

    // Above another program's window, even when that one is activated.
    ChildProcess client = StartInstalled("tavlin.exe");
    const std::string clientId = FindByClass(kClientClass);
    ASSERT_FALSE(clientId.empty()) << "the stand-in client showed no window";
    Activate(clientId);
    EXPECT_TRUE(HasState(id, "_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return StackedAbove(id, clientId); }, 5000, 50));

    // Minimised by its own button, restored as a task list does: still above.
    Xdotool({"mousemove", "--sync", "--window", id, "76", "44", "click", "1"});
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return HasState(id, "_NET_WM_STATE_HIDDEN"); }, 5000, 50))
        << "the minimise button did not minimise";
    Activate(id);
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return !HasState(id, "_NET_WM_STATE_HIDDEN"); }, 5000, 50));
    EXPECT_TRUE(HasState(id, "_NET_WM_STATE_ABOVE"));
    Activate(clientId);
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return StackedAbove(id, clientId); }, 5000, 50));

    // Dragged by its caption band (the top 58 pixels, away from the
    // buttons), the window follows the pointer.
    Geometry before = WindowGeometry(id);
    Xdotool({"mousemove", "--sync", std::to_string(before.x + 200), std::to_string(before.y + 20)});
    Xdotool({"mousedown", "1"});
    for (int step = 1; step <= 5; ++step) {
        Xdotool({"mousemove", "--sync", std::to_string(before.x + 200 + 30 * step),
                 std::to_string(before.y + 20 + 16 * step)});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    Xdotool({"mouseup", "1"});
    Geometry after;
    EXPECT_TRUE(tavlin_test::WaitUntil([&] {
        after = WindowGeometry(id);
        return after.x == before.x + 150 && after.y == before.y + 80;
    }, 5000, 50)) << "moved from " << before.x << "," << before.y << " to " << after.x << "," << after.y;

    // Alt+F4 asks the window to close, which ends the updater as Escape does.
    Activate(id);
    Xdotool({"key", "alt+F4"});
    ASSERT_TRUE(updater.Wait(tavlin_driver_test::kProcessTimeoutMs)) << "Alt+F4 did not end the updater";
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    EXPECT_TRUE(client.Alive());
}

TEST_P(WindowManagerTest, PromptBoxUndecoratedCentredAndClosedByAltF4AsByEscapeWithoutConfirming) {
    SetLanguage("zh_CN.UTF-8");
    for (const char* key : {"Escape", "alt+F4"}) {
        SCOPED_TRACE(key);
        tavlin_test::SpawnOptions o;
        o.argv = {TAVLIN_PROMPT, "网络已断开，请检查网络环境后重试~", "1"};
        o.env = env_;
        ChildProcess prompt;
        ASSERT_TRUE(prompt.Start(o)) << prompt.error();
        const std::string id = FindByClass(kPromptClass, 15, prompt.pid());
        ASSERT_FALSE(id.empty()) << "no prompt: " << prompt.Stderr();
        ExpectUndecoratedAndCentred(id, 310, 100);
        EXPECT_NE(Xprop(id, {"_NET_WM_NAME"}).find("\"vostrapanel提示\""), std::string::npos);
        EXPECT_TRUE(HasState(id, "_NET_WM_STATE_ABOVE"));
        Activate(id);
        Xdotool({"key", key});
        ASSERT_TRUE(prompt.Wait(10000)) << "the prompt did not close";
        // Both cancel (2): the window manager's close is the user's Escape.
        EXPECT_EQ(prompt.exitCode(), 2);
    }
}

// A topmost window hidden (withdrawn: the window manager forgets it) and
// shown again asks to stay above once more.
TEST_P(WindowManagerTest, TopmostWindowStaysAboveAcrossHideAndShow) {
    ChildProcess client = StartInstalled("tavlin.exe");
    const std::string clientId = FindByClass(kClientClass);
    ASSERT_FALSE(clientId.empty()) << "the stand-in client showed no window: " << client.Stderr()
                                   << (client.Alive() ? "" : " (ended)");

    // The window system's thread opens its connection to $DISPLAY.
    setenv("DISPLAY", xvfb_.display().c_str(), 1);
    unsetenv("TAVLIN_OFFSCREEN");
    std::promise<std::pair<platform::Hwnd, platform::ThreadId>> created;
    std::thread loop([&created] {
        platform::CreateWindowParams p;
        p.className = u"tavlin_topmost_test";
        p.title = u"topmost";
        p.proc = platform::DefWindowProcW;
        p.style = platform::WS_POPUP;
        p.exStyle = platform::WS_EX_TOPMOST;
        p.width = 200;
        p.height = 100;
        platform::Hwnd w = platform::CreateWindowW(p);
        created.set_value({w, platform::GetCurrentThreadId()});
        platform::RunMessageLoop();
        if (platform::IsWindow(w)) platform::DestroyWindow(w);
    });
    auto [hwnd, thread] = created.get_future().get();
    struct Stop {
        std::thread& loop;
        platform::ThreadId id;
        ~Stop() {
            platform::PostThreadMessageW(id, platform::WM_QUIT, 0, 0);
            loop.join();
        }
    } stop{loop, thread};
    ASSERT_NE(hwnd, nullptr);

    for (const char* round : {"first show", "shown again"}) {
        SCOPED_TRACE(round);
        platform::ShowWindow(hwnd, platform::SW_SHOW);
        const std::string id = FindByClass("tavlin_topmost_test");
        ASSERT_FALSE(id.empty());
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return HasState(id, "_NET_WM_STATE_ABOVE"); }, 5000, 50));
        // Shown, it activates itself once mapped (as above).
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return ActiveWindow() == id; }, 5000, 50));
        Activate(clientId);
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return StackedAbove(id, clientId); }, 5000, 50));
        platform::ShowWindow(hwnd, platform::SW_HIDE);
        EXPECT_TRUE(tavlin_test::WaitUntil([&] {
            XWindowAttributes attrs;
            return XGetWindowAttributes(dpy_, std::stoul(id), &attrs) && attrs.map_state == IsUnmapped;
        }, 5000, 50));
    }
}

INSTANTIATE_TEST_SUITE_P(Desktop, WindowManagerTest, ::testing::ValuesIn(kWindowManagers), WindowManagerName);

}  // namespace
}  // namespace tavlin_wm_test
